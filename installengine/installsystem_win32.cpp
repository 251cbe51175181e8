#include "installengine/installsystem_win32.h"

#include <windows.h>

#include "installengine/registration_win32.h"
#include "package/pkgfile_win32.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
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

bool WindowsInstallSystem::SaveKey(RegRoot root, const std::string& key, SavedKey& out) {
  out = {};
  win::RegKey k;
  const LONG r =
      RegOpenKeyExA(RootHandle(root), key.c_str(), 0, KEY_READ | KeyView(root, key), k.out());
  if (r == ERROR_FILE_NOT_FOUND) return true;
  if (r != ERROR_SUCCESS) return false;
  out.existed = true;
  DWORD names = 0, bytes = 0;
  if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &names, &bytes, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::u16string name(names + 1, u'\0');
  for (DWORD i = 0;; ++i) {
    SavedValue& v = out.values.emplace_back();
    v.data.resize(bytes + 2);
    DWORD n = names + 1, size = bytes + 2, type = 0;
    const LONG e = RegEnumValueW(k.get(), i, reinterpret_cast<wchar_t*>(name.data()), &n, nullptr,
                                 &type, v.data.data(), &size);
    if (e != ERROR_SUCCESS) {
      out.values.pop_back();
      return e == ERROR_NO_MORE_ITEMS;
    }
    v.name.assign(name.data(), n);
    v.type = type;
    v.data.resize(size);
  }
}

bool WindowsInstallSystem::RestoreKey(RegRoot root, const std::string& key, const SavedKey& saved) {
  const REGSAM view = KeyView(root, key);
  if (!saved.existed) {
    const LONG r = DeleteRegistryKey(RootHandle(root), key, view);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
  }
  win::RegKey k;
  if (RegCreateKeyExA(RootHandle(root), key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS | view, nullptr, k.out(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // every value goes, then the saved ones come back as they were
  for (;;) {
    wchar_t name[16384];
    DWORD n = 16384;
    if (RegEnumValueW(k.get(), 0, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        RegDeleteValueW(k.get(), name) != ERROR_SUCCESS) {
      break;
    }
  }
  bool ok = true;
  for (const SavedValue& v : saved.values) {
    ok = RegSetValueExW(k.get(), v.name.empty() ? nullptr : Wide(v.name), 0, v.type, v.data.data(),
                        static_cast<DWORD>(v.data.size())) == ERROR_SUCCESS &&
         ok;
  }
  return ok;
}

bool WindowsInstallSystem::RemoveValue(RegRoot root, const std::string& key,
                                       const std::string& name) {
  win::RegKey k;
  if (RegOpenKeyExA(RootHandle(root), key.c_str(), 0, KEY_SET_VALUE | KeyView(root, key),
                    k.out()) != ERROR_SUCCESS) {
    return false;
  }
  return RegDeleteValueA(k.get(), name.c_str()) == ERROR_SUCCESS;
}

bool WindowsInstallSystem::RemoveEmptyKey(RegRoot root, const std::string& key) {
  const REGSAM view = KeyView(root, key);
  DWORD subkeys = 1, values = 1;
  {
    win::RegKey k;
    if (RegOpenKeyExA(RootHandle(root), key.c_str(), 0, KEY_READ | view, k.out()) !=
            ERROR_SUCCESS ||
        RegQueryInfoKeyA(k.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return false;
    }
  }
  return subkeys == 0 && values == 0 && DeleteRegistryKey(RootHandle(root), key, view) == 0;
}

bool WindowsInstallSystem::ReplaceAtRestart(const std::u16string& from, const std::u16string& to) {
  return MoveFileExW(Wide(from), Wide(to),
                     MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING) != 0;
}

bool WindowsInstallSystem::FreeSpace(const std::u16string& folder, std::uint64_t& bytes) {
  ULARGE_INTEGER free{};
  if (!GetDiskFreeSpaceExW(Wide(AddTrailingBackslash(folder)), &free, nullptr, nullptr))
    return false;
  bytes = free.QuadPart;
  return true;
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
