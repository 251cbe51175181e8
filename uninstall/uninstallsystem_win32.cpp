#include "uninstall/uninstallsystem_win32.h"

#include <shlobj.h>

#include <string_view>

#include "installengine/registration_win32.h"
#include "package/pkgfile.h"
#include "package/pkgfile_win32.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"
#include "uninstall/uninstallplan.h"

namespace kestrel {
namespace {

std::u16string SpecialFolder(int csidl) {
  if (UseWideApi()) {
    wchar_t buf[MAX_PATH + 1] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buf, csidl, FALSE)) return {};
    return FromWide(buf);
  }
  char buf[MAX_PATH + 1] = {};
  if (!SHGetSpecialFolderPathA(nullptr, buf, csidl, FALSE)) return {};
  return FromCodePage(buf);
}

bool FolderThere(const std::u16string& path) {
  return FolderExists(SystemFileSystem(), path);
}

}  // namespace

std::vector<std::u16string> ProtectedFolders() {
  static constexpr int kFolders[] = {CSIDL_WINDOWS,
                                     CSIDL_SYSTEM,
                                     CSIDL_SYSTEMX86,
                                     CSIDL_PROGRAM_FILES,
                                     CSIDL_PROGRAM_FILESX86,
                                     CSIDL_PROGRAM_FILES_COMMON,
                                     CSIDL_PROGRAM_FILES_COMMONX86,
                                     CSIDL_PROFILE,
                                     CSIDL_APPDATA,
                                     CSIDL_LOCAL_APPDATA,
                                     CSIDL_DESKTOPDIRECTORY,
                                     CSIDL_PERSONAL,
                                     CSIDL_STARTMENU,
                                     CSIDL_PROGRAMS,
                                     CSIDL_STARTUP,
                                     CSIDL_FAVORITES,
                                     CSIDL_SENDTO,
                                     CSIDL_RECENT,
                                     CSIDL_TEMPLATES,
                                     CSIDL_MYMUSIC,
                                     CSIDL_MYPICTURES,
                                     CSIDL_MYVIDEO,
                                     CSIDL_FONTS,
                                     CSIDL_COMMON_APPDATA,
                                     CSIDL_COMMON_DESKTOPDIRECTORY,
                                     CSIDL_COMMON_DOCUMENTS,
                                     CSIDL_COMMON_STARTMENU,
                                     CSIDL_COMMON_PROGRAMS,
                                     CSIDL_COMMON_STARTUP,
                                     CSIDL_COMMON_TEMPLATES,
                                     CSIDL_COMMON_MUSIC,
                                     CSIDL_COMMON_PICTURES,
                                     CSIDL_COMMON_VIDEO,
                                     CSIDL_ADMINTOOLS,
                                     CSIDL_COMMON_ADMINTOOLS,
                                     CSIDL_INTERNET_CACHE,
                                     CSIDL_COOKIES,
                                     CSIDL_HISTORY,
                                     CSIDL_RESOURCES};
  std::vector<std::u16string> keep;
  for (int csidl : kFolders) {
    std::u16string f = SpecialFolder(csidl);
    if (!f.empty()) keep.push_back(std::move(f));
  }
  keep.push_back(WindowsFolder());
  keep.push_back(ProgramFilesFolder());
  wchar_t buf[MAX_PATH + 1] = {};
  if (UINT n = GetSystemDirectoryW(buf, MAX_PATH); n && n <= MAX_PATH)
    keep.push_back(FromWide(buf));
  if (DWORD n = GetTempPathW(MAX_PATH, buf); n && n <= MAX_PATH) keep.push_back(FromWide(buf));
  return keep;
}

namespace {

bool RemoveKeyTreeBelow(RegRoot root, const std::string& path) {
  win::RegKey key;
  // the view the installation wrote the key in (MachineKeyView)
  const REGSAM view = root == RegRoot::kLocalMachine ? MachineKeyView(path) : 0;
  const LONG opened =
      RegOpenKeyExA(RootKey(root), path.c_str(), 0, KEY_ALL_ACCESS | view, key.out());
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  // names first, then the removals: enumerating while deleting skips entries
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD len = sizeof name;
    const LONG r = RegEnumKeyExA(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) break;
    names.emplace_back(name, len);
  }
  key.reset();
  for (const std::string& n : names) {
    if (!n.empty()) RemoveKeyTreeBelow(root, path + "\\" + n);
  }
  return DeleteRegistryKey(RootKey(root), path, view) == ERROR_SUCCESS;
}

}  // namespace

bool RemoveKeyTree(RegRoot root, const std::string& path) {
  // never a key that every product shares, nor one above it, whatever the names recorded
  if (!IsRemovableKeyTree(root, path)) return false;
  return RemoveKeyTreeBelow(root, path);
}

std::string WindowsUninstallSystem::ReadClassesString(const std::string& key,
                                                      const std::string& value) {
  return kestrel::ReadClassesString(key, value, "");
}

void WindowsUninstallSystem::Pause(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

std::u16string WindowsUninstallSystem::ProgramsFolder() {
  return kestrel::ProgramsFolder();
}
std::u16string WindowsUninstallSystem::AppDataFolder() {
  return kestrel::AppDataFolder();
}
std::u16string WindowsUninstallSystem::StartMenuFolder() {
  return kestrel::StartMenuFolder();
}
std::vector<std::u16string> WindowsUninstallSystem::ProtectedFolders() {
  return kestrel::ProtectedFolders();
}

bool WindowsUninstallSystem::FolderExists(const std::u16string& path) {
  return FolderThere(path);
}
// Our own walk over long paths: only what it listed below the folder goes, links are removed as
// links, and nothing is ever taken relative to the current folder.
bool WindowsUninstallSystem::DeleteFolderTree(const std::u16string& path) {
  const TreeOutcome outcome = RemoveTree(tree_, StripTrailingBackslash(path));
  lastdelete_ = static_cast<int>(outcome.error);
  return outcome.complete;
}
bool WindowsUninstallSystem::RemoveEmptyFolder(const std::u16string& path) {
  return SystemFileSystem().RemoveFolder(path);
}
bool WindowsUninstallSystem::RemoveFile(const std::u16string& path) {
  return SystemFileSystem().RemoveFile(path);
}
bool WindowsUninstallSystem::RemoveKeyTree(RegRoot root, const std::string& path) {
  return kestrel::RemoveKeyTree(root, path);
}

}  // namespace kestrel
