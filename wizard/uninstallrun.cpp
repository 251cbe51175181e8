#include "wizard/uninstallrun.h"

#include <shellapi.h>
#include <shlobj.h>

#include <string_view>

#include "package/pkgfile.h"
#include "package/pkgfile_win32.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"
#include "toolkit/msgbox.h"
#include "wizard/mainunit.h"
#include "wizard/uninstallplan.h"

namespace kestrel {
namespace {

constexpr std::string_view kAppPathsKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
// A product window that does not answer its close request must not hold up the uninstall.
constexpr UINT kCloseWaitMs = 5000;

HKEY RootKey(RegRoot root) {
  switch (root) {
    case RegRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RegRoot::kClassesRoot:
      return HKEY_CLASSES_ROOT;
  }
  return HKEY_LOCAL_MACHINE;
}

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

// Empty folders above a deleted one, up to the first protected folder: the installer made the
// whole chain, and an empty "Vendor" folder left in Program Files is litter.
void RemoveEmptyParents(const std::u16string& deleted, const std::vector<std::u16string>& keep) {
  std::u16string p = StripTrailingBackslash(deleted);
  for (int depth = 0; depth < 16; ++depth) {
    const auto cut = p.rfind(u'\\');
    if (cut == std::u16string::npos) return;
    p.resize(cut);
    if (IsProtectedFolder(p, keep)) return;
    if (!SystemFileSystem().RemoveFolder(p)) return;  // not empty, or not ours to remove
  }
}

std::u16string KeptMessage(const std::u16string& folder) {
  return u"The folder \"" + folder +
         u"\" was not deleted: it is a folder of the system or holds more than this program, "
         u"so its files were kept.";
}

// Per-user keys of the system itself are never removed, whatever the recorded group says.
bool SystemUserKey(const std::string& key) {
  std::string lower;
  for (char c : key) lower.push_back(c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c);
  for (std::string_view top : {"software\\microsoft", "software\\classes", "software\\policies",
                               "software\\wow6432node", "software\\wine"}) {
    if (lower.compare(0, top.size(), top) == 0 &&
        (lower.size() == top.size() || lower[top.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

// The extension key's name: a dot and a name, nothing that reaches another part of the tree.
bool IsExtensionName(const std::string& e) {
  return e.size() > 1 && e[0] == '.' && e.find('\\') == std::string::npos &&
         e.find('/') == std::string::npos;
}

bool EndsWithLinkSuffix(const std::u16string& path) {
  if (path.size() < 4) return false;
  std::u16string tail = path.substr(path.size() - 4);
  for (auto& c : tail) {
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
  }
  return tail == u".lnk";
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

bool ShellDeleteFolder(HWND owner, const std::u16string& folder) {
  const std::u16string path = StripTrailingBackslash(folder);
  if (path.empty()) return false;
  if (!FolderThere(path)) return true;  // already gone: nothing left to delete
  if (UseWideApi()) {
    std::u16string from = path;
    from.push_back(0);  // the source list ends with two zero characters
    SHFILEOPSTRUCTW op{};
    op.hwnd = owner;
    op.wFunc = FO_DELETE;
    op.pFrom = Wide(from);
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;  // 0x14: no progress, no question, no bin
    SHFileOperationW(&op);
  } else {
    std::string from = ToCodePage(path);
    from.push_back('\0');
    SHFILEOPSTRUCTA op{};
    op.hwnd = owner;
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    SHFileOperationA(&op);
  }
  // judged by the result, not the shell's answer: it may report success for a partial delete,
  // and failure for a folder that another process removed meanwhile
  return !FolderThere(path);
}

bool RemoveKeyTree(RegRoot root, const std::string& path) {
  if (path.empty() || path.find_first_not_of('\\') == std::string::npos) return false;
  HKEY key = nullptr;
  // the view the installation wrote the key in (MachineKeyView)
  const REGSAM view = root == RegRoot::kLocalMachine ? MachineKeyView(path) : 0;
  const LONG opened = RegOpenKeyExA(RootKey(root), path.c_str(), 0, KEY_ALL_ACCESS | view, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened != ERROR_SUCCESS) return false;
  // names first, then the removals: enumerating while deleting skips entries
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD len = sizeof name;
    const LONG r = RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) break;
    names.emplace_back(name, len);
  }
  RegCloseKey(key);
  for (const std::string& n : names) {
    if (!n.empty()) RemoveKeyTree(root, path + "\\" + n);
  }
  return DeleteRegistryKey(RootKey(root), path, view) == ERROR_SUCCESS;
}

void Triform::UninstallRun() {
  const HWND owner = handle();
  const std::string exename = ReadShort(config_.exename);
  const std::string displayname = ReadShort(config_.displayname);
  const std::string appkey = std::string(kAppPathsKey) + exename;
  auto value = [&](const std::string& name) { return ReadMachineString(appkey, name, ""); };

  // 1. the progress page with the uninstall texts, drawn once
  // buttons and texts first, so the page is never seen in a state it does not keep
  next.SetEnabled(false);
  back.SetEnabled(false);
  // the run cannot be interrupted half-way; Cancel comes back only if it stops
  cancel.SetEnabled(false);
  installingtitle.SetText(u"Performing Uninstall");
  installinglabel.SetText(u"Uninstalling " + FromCodePage(value("displayname")) + u"...");
  SetActivePage(WizCtl::installingpage);
  FormResize();
  UpdateWindow(owner);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  // 2. a running copy of the product is asked to close; one that never answers is not waited for
  if (HWND product = FindWindowByPattern(TrimBlanks(displayname) + " (*")) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(product, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, kCloseWaitMs,
                        &ignored);
  }

  // 3. services
  if (UseWideApi()) {
    for (int i = 0; i < 5; ++i) {
      if (value("service" + std::to_string(i)).empty()) break;
      const std::string name = value("servicenames" + std::to_string(i));
      if (name.empty()) continue;
      if (ServiceRunning(name)) ServiceStop(name);
      ServiceDelete(name);
    }
  }

  // 4.
  Sleep(1000);

  UninstallInput in;
  in.basefolder = basefolder_;
  in.exename = exename;
  in.displayname = displayname;
  in.programgroup = ReadWide(config_.programgroup);
  in.appdatafolder = ReadShort(config_.appdatafolder);
  in.startpath = value("Startpath");
  in.desktop = value("desktop");
  in.programsfolder = ProgramsFolder();
  in.appdataroot = AppDataFolder();
  in.startmenufolder = StartMenuFolder();
  in.keep = ProtectedFolders();
  const UninstallPlan plan = PlanUninstall(in);

  // 5. the installation folder; if it cannot be deleted, everything else stays for a second run
  if (plan.installfolder.refused) {
    ui::ErrorBox(owner, KeptMessage(plan.installfolder.path));
  } else if (!ShellDeleteFolder(owner, plan.installfolder.path)) {
    installingtitle.SetText(u"Uninstall Stopped");
    installinglabel.SetText(u"The folder \"" + plan.installfolder.path +
                            u"\" could not be deleted. Click 'Cancel' to exit.");
    ui::ErrorBox(owner, u"The folder \"" + plan.installfolder.path +
                            u"\" could not be deleted completely, perhaps because a file in it "
                            u"is in use. Nothing else was removed. Close the program that uses "
                            u"it and run the uninstaller again to finish the job.");
    cancel.SetEnabled(true);
    return;
  } else {
    RemoveEmptyParents(plan.installfolder.path, in.keep);
  }

  // 6. the program group, and the vendor folder when nothing else is in it
  if (plan.programgroup) {
    if (plan.programgroup->refused) {
      ui::ErrorBox(owner, KeptMessage(plan.programgroup->path));
    } else if (ShellDeleteFolder(owner, plan.programgroup->path)) {
      RemoveEmptyParents(plan.programgroup->path, in.keep);
    }
    SystemFileSystem().RemoveFolder(plan.vendorfolder);
  }

  // 7. the settings, only when the user agrees
  if (plan.settings && FolderThere(plan.settings->path)) {
    if (plan.settings->refused) {
      ui::ErrorBox(owner, KeptMessage(plan.settings->path));
    } else if (ui::ConfirmBox(owner,
                              u"Do you want to permanently delete all the settings for this "
                              u"program?")) {
      ShellDeleteFolder(owner, plan.settings->path);
    }
  }

  // 8, 9. the desktop and Start Menu shortcuts: only link files, whatever the registry says
  if (EndsWithLinkSuffix(plan.desktoplink)) SystemFileSystem().RemoveFile(plan.desktoplink);
  SystemFileSystem().RemoveFile(plan.startmenulink);

  // 10. the file association: the class the installer wrote, then the extension key
  const std::string ext = value("fileassociations");
  if (IsExtensionName(ext)) {
    if (auto cls = ClassKeyToRemove(ReadClassesString(ext, "", ""))) {
      RemoveKeyTree(RegRoot::kClassesRoot, *cls);
    }
    RemoveKeyTree(RegRoot::kClassesRoot, ext);
  }

  // 11-15. the Uninstall, App Paths and Run keys and the per-user key of the group
  const std::string groupkey = PerUserGroupKey(in.startpath);
  for (const auto& [root, key] : plan.keytrees) {
    if (root == RegRoot::kCurrentUser && key == groupkey && SystemUserKey(key)) continue;
    RemoveKeyTree(root, key);
  }

  // 16.
  Sleep(100);

  // 17.
  SetActivePage(WizCtl::uninstallfinishpage);
  FormResize();
  back.SetEnabled(false);
  next.SetVisible(false);
  finish.SetVisible(true);
  cancel.SetEnabled(false);
}

}  // namespace kestrel
