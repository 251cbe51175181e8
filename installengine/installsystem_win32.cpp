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

void WindowsInstallSystem::WriteRegistryRows(const std::vector<RegistryRow>& rows) {
  kestrel::WriteRegistryRows(rows);
}

void CreateShortcuts(const ShortcutPlan& plan) {
  auto make = [](const ShortcutRow& r) {
    CreateShortcut(r.target, r.arguments, r.description, r.workfolder, r.linkfile);
  };
  if (CreateFolderChain(SystemFileSystem(), plan.groupfolder)) {
    for (const ShortcutRow& r : plan.grouprows) make(r);
  }
  make(plan.desktop);
}

void WindowsInstallSystem::CreateShortcuts(const ShortcutPlan& plan) {
  kestrel::CreateShortcuts(plan);
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
