#include "installengine/installsystem_win32.h"

#include <windows.h>

#include "installengine/registration_win32.h"
#include "package/pkgfile_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"

namespace kestrel {

bool WindowsInstallSystem::ServiceCreate(const std::string& name,
                                         const std::u16string& programpath) {
  return kestrel::ServiceCreate(name, programpath);
}
bool WindowsInstallSystem::ServiceStart(const std::string& name) {
  return kestrel::ServiceStart(name);
}

std::vector<unsigned long> WindowsInstallSystem::WriteRegistryRows(
    const std::vector<RegistryRow>& rows) {
  return kestrel::WriteRegistryRows(rows);
}

std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan) {
  std::vector<unsigned long> out;
  auto make = [&](const ShortcutRow& r) {
    out.push_back(CreateShortcut(r.target, r.arguments, r.description, r.workfolder, r.linkfile));
  };
  if (CreateFolderChain(SystemFileSystem(), plan.groupfolder)) {
    for (const ShortcutRow& r : plan.grouprows) make(r);
  } else {
    const DWORD error = GetLastError();
    out.assign(plan.grouprows.size(), error ? error : ERROR_PATH_NOT_FOUND);
  }
  make(plan.desktop);
  return out;
}

std::vector<unsigned long> WindowsInstallSystem::CreateShortcuts(const ShortcutPlan& plan) {
  return kestrel::CreateShortcuts(plan);
}

bool WindowsInstallSystem::RemoveKey(RegRoot root, const std::string& key) {
  const LONG r = DeleteRegistryKey(RootHandle(root), key, KeyView(root, key));
  return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

std::u16string WindowsInstallSystem::WindowsFolder() {
  return kestrel::WindowsFolder();
}
std::u16string WindowsInstallSystem::DesktopFolder() {
  return kestrel::DesktopFolder();
}
std::u16string WindowsInstallSystem::ProgramsFolder() {
  return kestrel::ProgramsFolder();
}
std::u16string WindowsInstallSystem::StartMenuFolder() {
  return kestrel::StartMenuFolder();
}

std::string WindowsInstallSystem::InstallDate() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  char buf[16];
  wsprintfA(buf, "%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
  return buf;
}

}  // namespace kestrel
