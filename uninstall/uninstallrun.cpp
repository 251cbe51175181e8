#include "uninstall/uninstallrun.h"

#include <algorithm>
#include <string_view>

#include "package/pkgfile.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/pathrules.h"
#include "sysutil/texts.h"
#include "sysutil/winname.h"
#include "uninstall/uninstallplan.h"

namespace kestrel {

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

std::string UninstallRun::Value(const std::string& name) {
  return sys_.ReadMachineString(AppPathsKey(info_.exename), name);
}

// Empty folders above a deleted one, up to the first folder the guard keeps: the installer made
// the whole chain, and an empty "Vendor" folder left in Program Files is litter.
void UninstallRun::RemoveEmptyParents(const std::u16string& deleted,
                                      const std::vector<std::u16string>& keep,
                                      const FolderGuard& guard) {
  std::u16string p = StripTrailingBackslash(deleted);
  for (int depth = 0; depth < 16; ++depth) {
    const auto cut = p.rfind(u'\\');
    if (cut == std::u16string::npos) return;
    p.resize(cut);
    if (IsProtectedFolder(p, keep) || !guard.Decide(p).remove()) return;
    if (!sys_.RemoveEmptyFolder(p)) return;  // not empty, or not ours to remove
    log_("empty folder removed: ", p);
  }
}

namespace {

std::u16string FolderShown(const FolderDecision& install) {
  return PrintablePath(install.path.empty() ? install.recorded : install.path);
}

}  // namespace

// The names recorded may be damaged, or name a service that was on the machine before the
// product: only a service whose program lies in the installation folder is stopped and deleted.
void UninstallRun::RemoveServices(const FolderDecision& install) {
  if (!sys_.UseWideApi()) return;
  for (int i = 0; i < 5; ++i) {
    if (Value("service" + std::to_string(i)).empty()) break;
    const std::string name = Value("servicenames" + std::to_string(i));
    if (name.empty()) continue;
    const std::u16string command = sys_.ServiceProgram(name);
    if (command.empty()) {
      const std::u16string why = sys_.LastErrorText();
      log_("service not removed: ", Ansi{name}, " (its configuration could not be read",
           why.empty() ? std::u16string() : u": " + why, ")");
      continue;
    }
    if (install.kept()) {
      log_("service kept: ", Ansi{name}, " (its program ", ShownProgram(command),
           " cannot be shown to be the product's: the installation folder was kept)");
      continue;
    }
    if (!ProgramInInstallFolder(install, command, sys_.Facts())) {
      log_("service kept: ", Ansi{name}, " (its program ", ShownProgram(command),
           " is not in the installation folder ", FolderShown(install), ")");
      continue;
    }
    StopAndDeleteService(name);
  }
}

void UninstallRun::StopAndDeleteService(const std::string& name) {
  if (sys_.ServiceRunning(name)) {
    const bool stopped = sys_.ServiceStop(name);
    log_("service ", stopped ? "stopped: " : "could not be stopped: ", Ansi{name});
  }
  const bool deleted = sys_.ServiceDelete(name);
  log_("service ", deleted ? "deleted: " : "could not be deleted: ", Ansi{name});
}

// The extension may have been taken over by another program since, or the recorded name be
// damaged: the extension and its class go only when the class opens a program in the
// installation folder, and the class only when it is the one the installer writes.
void UninstallRun::RemoveAssociation(const FolderDecision& install) {
  const std::string ext = Value("fileassociations");
  if (!IsExtensionName(ext)) return;
  const std::string cls = sys_.ReadClassesString(ext, "");
  // a class is looked up only by a name that is one key below the root
  const bool onekey = ChildKey("", cls, false).has_value();
  const std::u16string command =
      onekey ? FromCodePage(sys_.ReadClassesString(cls + "\\shell\\open\\command", "")) : u"";
  if (install.kept()) {
    log_("file association kept: ", Ansi{ext}, " (its class \"", Ansi{cls},
         "\" cannot be shown to be the product's: the installation folder was kept)");
    return;
  }
  if (!ProgramInInstallFolder(install, command, sys_.Facts())) {
    log_("file association kept: ", Ansi{ext}, " (its class \"", Ansi{cls}, "\" opens ",
         command.empty() ? std::u16string(u"nothing") : ShownProgram(command),
         ", which is not in the installation folder ", FolderShown(install), ")");
    return;
  }
  if (auto key = ClassKeyToRemove(cls)) {
    if (sys_.RemoveKeyTree(RegRoot::kClassesRoot, *key))
      log_("registry key removed: HKCR\\", Ansi{*key});
  }
  if (sys_.RemoveKeyTree(RegRoot::kClassesRoot, ext))
    log_("registry key removed: HKCR\\", Ansi{ext});
}

UninstallInfo UninstallInfoFrom(const SetupData& data, FileSystem& fs) {
  UninstallInfo info;
  info.exename = ReadShort(data.config.exename);
  info.displayname = ReadShort(data.config.displayname);
  info.basefolder = data.basefolder;
  info.programgroup = ReadWide(data.config.programgroup);
  info.appdatafolder = ReadShort(data.config.appdatafolder);
  info.identity = data.identity;
  info.recordpath = data.recordpath;
  info.root = data.root;  // the entry's, unless a record says
  if (!info.identity.empty()) {
    info.hasrecord = LoadInstallRecord(fs, info.recordpath, info.identity, info.record);
    if (info.hasrecord) {
      const InstallRecord& r = info.record;
      if (info.displayname.empty()) info.displayname = r.displayname;
      if (info.exename.empty()) info.exename = r.exename;
      info.root = r.root;
      info.programgroup = r.programgroup;
      info.appdatafolder = r.appdatafolder;
      info.basefolder = r.installfolder;
    }
  }
  return info;
}

bool NeedsElevation(const UninstallInfo& info, bool administrator, bool elevated) {
  return info.root == RegRoot::kLocalMachine && !administrator && !elevated;
}

std::u16string NoRightsToUninstallMessage(const std::string& displayname) {
  return Tr(TextId::uninstall_no_rights, {{u"name", FromCodePage(TrimBlanks(displayname))}});
}

std::u16string KeptFilesMessage(std::size_t count, const std::u16string& folder,
                                std::size_t counted) {
  const std::u16string shown = PrintablePath(folder);
  const TextArg where{u"folder", shown};
  if (count > counted) {
    return Tr(TextId::kept_files_more, {{u"count", Utf8ToUtf16(std::to_string(counted))}, where});
  }
  if (count == 1) return Tr(TextId::kept_files_one, {where});
  return Tr(TextId::kept_files, {{u"count", Utf8ToUtf16(std::to_string(count))}, where});
}

// The folders the installation made, and the subfolders that held its files (another product
// may have made one first): each goes, deepest first, only when nothing is left in it. The
// installation folder goes only when the installation made it.
void UninstallRun::RemoveRecordedFolders(const InstallRecord& record) {
  std::vector<std::u16string> folders = record.folders;
  std::u16string last;
  for (const RecordedFile& f : record.files) {
    const std::size_t cut = f.path.rfind(u'\\');
    if (cut == 0 || f.path.compare(0, cut, last) == 0) continue;  // files of one folder follow
    last = f.path.substr(0, cut);
    for (std::size_t k = cut; k != std::u16string::npos && k > 0; k = f.path.rfind(u'\\', k - 1))
      folders.push_back(record.FullPath(f.path.substr(0, k)));
  }
  SortDeepestFirst(folders);
  for (const std::u16string& f : folders) {
    // by the tree walk's calls: any length of path
    bool link = false;
    if (sys_.Tree().KindOf(f, link) != EntryKind::kFolder) continue;
    if (sys_.Tree().RemoveFolder(f) == 0) {
      log_("empty folder removed: ", f);
      continue;
    }
    // a folder that holds a file in use goes after it, deepest first, when empty by then
    const std::u16string below = FoldPath(f) + u'\\';
    const bool holds = std::any_of(atrestart_.begin(), atrestart_.end(), [&](const auto& file) {
      return FoldPath(file).compare(0, below.size(), below) == 0;
    });
    if (holds && sys_.DeleteAtRestart(f)) log_("folder deleted at the next restart if empty: ", f);
  }
}

bool InUseError(unsigned long error) {
  return error == 5 || error == 32;  // access denied, sharing violation
}

bool UninstallRun::RemoveRecordedFiles(const InstallRecord& record) {
  std::size_t removed = 0, missing = 0;
  for (const RecordedFile& f : record.files) {
    const std::u16string path = record.FullPath(f.path);
    bool folderlink = false;
    const EntryKind kind = sys_.Tree().KindOf(path, folderlink);
    if (kind == EntryKind::kNone) {
      ++missing;
      continue;
    }
    // a folder where a file was is not the file the installation wrote
    if (kind == EntryKind::kFolder || (kind == EntryKind::kLink && folderlink)) continue;
    const unsigned long error = sys_.Tree().RemoveFile(path);
    if (error == 0) {
      ++removed;
    } else if (InUseError(error) && sys_.DeleteAtRestart(path)) {
      log_("in use, deleted at the next restart: ", path, " (error ", error, ")");
      atrestart_.push_back(path);
    } else {
      // a file that would stay while the uninstall says it is gone: the run stops here
      const std::u16string message =
          Tr(TextId::file_not_removed,
             {{u"path", PrintablePath(path)}, {u"reason", sys_.ErrorText(error)}});
      log_("file could not be removed: ", path, " (error ", error,
           InUseError(error) ? ", and its deletion at the next restart could not be scheduled)"
                             : ")");
      obs_.UninstallStopped(record.installfolder, message);
      return false;
    }
  }
  log_("files removed: ", removed, missing ? " (" : "", missing ? std::to_string(missing) : "",
       missing ? " were no longer there)" : "");
  return true;
}

void UninstallRun::ReportKeptFiles(const std::u16string& folder,
                                   const std::u16string& uninstaller) {
  // counted up to a bound: an installation into a folder as large as Program Files itself must
  // not make the uninstall walk every program there
  std::vector<std::u16string> kept = FilesBelow(sys_.Tree(), folder, kKeptFilesCounted + 1);
  const std::u16string own = FoldPath(uninstaller);
  // the uninstaller and the files in use, which go at the next start, were installed by Setup
  kept.erase(std::remove_if(kept.begin(), kept.end(),
                            [&](const std::u16string& f) {
                              const std::u16string folded = FoldPath(f);
                              return folded == own ||
                                     std::any_of(atrestart_.begin(), atrestart_.end(),
                                                 [&](const std::u16string& a) {
                                                   return FoldPath(a) == folded;
                                                 });
                            }),
             kept.end());
  if (kept.empty()) return;
  for (std::size_t i = 0; i < kept.size() && i < kKeptFilesLogged; ++i)
    log_("file kept (not installed by Setup): ", kept[i]);
  const std::u16string message = KeptFilesMessage(kept.size(), folder, kKeptFilesCounted);
  log_(message);
  obs_.FilesKept(message);
}

void UninstallRun::RemoveRecordedAssociation(const InstallRecord& record) {
  if (!IsExtensionName(record.assocext)) return;
  const ClassesPlace place = ClassesFor(record.root);
  const auto cls = ChildKey("", record.assocclass, false);
  if (!cls) return;
  // HKCR itself for every user, the user's own "Software\Classes" for one user
  auto read = [&](const std::string& key) {
    return place.root == RegRoot::kClassesRoot
               ? FromCodePage(sys_.ReadClassesString(key, ""))
               : sys_.ReadWideString(place.root, place.prefix + key, "");
  };
  const char* shown = place.root == RegRoot::kClassesRoot ? "HKCR\\" : "HKCU\\";
  const std::u16string command = read(record.assocclass + "\\shell\\open\\command");
  // the class goes only while it opens this product, the extension only while it names the class
  if (ProgramInFolder(command, record.installfolder)) {
    if (sys_.RemoveKeyTree(place.root, place.prefix + record.assocclass))
      log_("registry key removed: ", shown, Ansi{place.prefix + record.assocclass});
  } else {
    log_("file class kept: ", Ansi{record.assocclass}, " (it opens ",
         command.empty() ? std::u16string(u"nothing") : ShownProgram(command), ")");
  }
  if (read(record.assocext) == FromCodePage(record.assocclass)) {
    if (sys_.RemoveKeyTree(place.root, place.prefix + record.assocext))
      log_("registry key removed: ", shown, Ansi{place.prefix + record.assocext});
  } else {
    log_("file extension kept: ", Ansi{record.assocext}, " (it names another class now)");
  }
}

// The App Paths key goes only while it is still this product's; the Uninstall key is named by
// the identity itself; the per-user keys as every version removed them.
void UninstallRun::RemoveProductKeys() {
  std::vector<std::pair<RegRoot, std::string>> keys;
  auto add = [&](RegRoot root, std::optional<std::string> key) {
    if (key) keys.emplace_back(root, std::move(*key));
  };
  // an installation for one user has its Uninstall and App Paths keys in that user's hive
  const RegRoot root = info_.root;
  const std::string uninstall = UninstallKey("");
  add(root,
      ChildKey(std::string_view(uninstall).substr(0, uninstall.size() - 1), info_.identity, false));
  // App Paths only while it still names this product
  const std::string apppaths = AppPathsKey(info_.exename);
  auto read = [&](const char* value) {
    return root == RegRoot::kLocalMachine ? sys_.ReadMachineString(apppaths, value)
                                          : ToCodePage(sys_.ReadWideString(root, apppaths, value));
  };
  const std::string owner = read(kProductValue);
  const std::string name = read("Displayname");
  if (owner == info_.identity || (owner.empty() && name == info_.displayname)) {
    add(root,
        ChildKey(std::string_view(apppaths).substr(0, apppaths.size() - info_.exename.size() - 1),
                 info_.exename, true));
  } else if (!name.empty()) {
    log_("registry key kept (another product's now): ", Ansi{apppaths});
  }
  add(RegRoot::kCurrentUser,
      ChildKey("software\\microsoft\\windows\\currentversion\\run", info_.exename, true));
  std::string user = OwnedUserKey(EncodeLetterHex(info_.programgroup));
  if (!user.empty()) keys.emplace_back(RegRoot::kCurrentUser, std::move(user));
  RemoveKeyTrees(keys);
}

void UninstallRun::RemoveKeyTrees(const std::vector<std::pair<RegRoot, std::string>>& keys) {
  for (const auto& [root, key] : keys) {
    const char* rootname = root == RegRoot::kCurrentUser ? "HKCU\\" : "HKLM\\";
    if (!IsRemovableKeyTree(root, key)) {
      log_("registry key kept (shared by every product): ", rootname, Ansi{key});
      continue;
    }
    const bool removed = sys_.RemoveKeyTree(root, key);
    log_("registry key ", removed ? "removed: " : "could not be removed: ", rootname, Ansi{key});
  }
}

void UninstallRun::AskAboutSettings(const std::string& appdatafolder) {
  if (appdatafolder.empty()) return;
  const std::u16string path =
      AddTrailingBackslash(sys_.AppDataFolder()) + FromCodePage(appdatafolder);
  const FolderGuard guard(sys_.FoldersToKeep(), sys_.Facts());
  const FolderDecision decision = guard.Decide(path);
  if (decision.reason == FolderReason::kAbsent || !sys_.FolderExists(path)) return;
  if (decision.kept() || IsProtectedFolder(path, sys_.ProtectedFolders())) {
    const std::u16string message = KeptFolderMessage(decision);
    log_("folder kept: ", message);
    obs_.FolderKept(message);
    return;
  }
  if (!obs_.DeleteSettings()) {
    log_("settings folder kept: ", path);
    return;
  }
  const bool gone = sys_.DeleteFolderTree(decision.path);
  log_(gone ? "settings folder removed: " : "settings folder could not be deleted: ", path);
}

// An installation with an identity: its record says what it made; a missing or damaged record
// removes no file at all, only what is named by the identity.
bool UninstallRun::RunRecorded() {
  const InstallRecord* record = info_.hasrecord ? &info_.record : nullptr;
  obs_.UninstallStarted(info_.displayname);
  const std::string pattern = TrimBlanks(info_.displayname) + " (*";
  if (sys_.CloseRunningWindow(pattern)) log_("running product asked to close: ", Ansi{pattern});
  if (!record && info_.recordpath.empty()) {
    log_("no installation record is named: no file is removed, only the product's registration");
  } else if (!record) {
    log_("the installation record ", info_.recordpath,
         " is missing or damaged: no file is removed, only the product's registration");
  }

  if (record && sys_.UseWideApi()) {
    for (const std::string& name : record->services) {
      const std::u16string command = sys_.ServiceProgram(name);
      if (command.empty()) continue;  // gone, or never made
      if (!ProgramInFolder(command, record->installfolder)) {
        log_("service kept: ", Ansi{name}, " (its program ", ShownProgram(command),
             " is not in the installation folder)");
        continue;
      }
      StopAndDeleteService(name);
    }
  }

  if (record) {
    if (!RemoveRecordedFiles(*record)) return false;
    if (restart()) {
      log_("a restart completes the removal (files in use deleted then: ", atrestart_.size(), ")");
      obs_.RestartCompletes();
    }
    for (const std::u16string& link : record->shortcuts) {
      if (EndsWithLinkSuffix(link) && sys_.RemoveFile(link)) log_("shortcut removed: ", link);
    }
    auto remove = [&](const std::u16string& path) {
      bool link = false;
      return sys_.Tree().KindOf(path, link) == EntryKind::kFile &&
             sys_.Tree().RemoveFile(path) == 0;
    };
    if (remove(info_.recordpath)) log_("installation record removed: ", info_.recordpath);
    // the uninstaller itself, unless it is the program that started this run: then it goes
    // once that program has ended
    if (!record->uninstaller.empty() && remove(record->FullPath(record->uninstaller)))
      log_("uninstaller removed: ", record->FullPath(record->uninstaller));
    RemoveRecordedFolders(*record);
    // the vendor folder every version removes when nothing else is in it
    if (!record->programgroup.empty()) {
      const std::u16string vendor = AddTrailingBackslash(sys_.ProgramsFolder()) + u"Halvard";
      if (sys_.RemoveEmptyFolder(vendor)) log_("empty folder removed: ", vendor);
    }
    ReportKeptFiles(record->installfolder,
                    record->uninstaller.empty() ? u"" : record->FullPath(record->uninstaller));
    AskAboutSettings(record->appdatafolder);
    RemoveRecordedAssociation(*record);
  }
  RemoveProductKeys();
  sys_.Pause(kUninstallPauseAtEnd);
  obs_.UninstallDone();
  return true;
}

bool UninstallRun::Run() {
  if (!info_.identity.empty()) return RunRecorded();
  const std::string& displayname = info_.displayname;

  // 1. the progress page with the uninstall texts
  obs_.UninstallStarted(Value("displayname"));

  // 2. a running copy of the product is asked to close
  const std::string pattern = TrimBlanks(displayname) + " (*";
  if (sys_.CloseRunningWindow(pattern)) log_("running product asked to close: ", Ansi{pattern});

  // the plan comes first: which services are the product's depends on the installation folder
  UninstallInput in;
  in.basefolder = info_.basefolder;
  in.exename = info_.exename;
  in.displayname = displayname;
  in.programgroup = info_.programgroup;
  in.appdatafolder = info_.appdatafolder;
  in.startpath = Value("Startpath");
  in.desktop = Value("desktop");
  in.mainprogram = Value("");
  in.programsfolder = sys_.ProgramsFolder();
  in.appdataroot = sys_.AppDataFolder();
  in.startmenufolder = sys_.StartMenuFolder();
  in.keep = sys_.ProtectedFolders();
  // every folder delete is decided on the folder the system resolves, not on its spelling
  const FolderGuard guard(sys_.FoldersToKeep(), sys_.Facts());
  const UninstallPlan plan = PlanUninstall(in, guard);

  // 3. services
  RemoveServices(plan.installfolder.decision);

  // 4.

  // nothing was there when the guard looked, so nothing about it was checked: no delete
  auto absent = [](const FolderDelete& d) { return d.decision.reason == FolderReason::kAbsent; };
  auto kept = [&](const FolderDelete& d) {
    const std::u16string message = KeptFolderMessage(d.decision);
    log_("folder kept: ", message);
    obs_.FolderKept(message);
  };

  // 5. the installation folder; if it cannot be deleted, everything else stays for a second run
  if (plan.installfolder.refused) {
    if (plan.installfolder.decision.kept()) kept(plan.installfolder);
  } else if (absent(plan.installfolder)) {
    log_("folder not there: ", plan.installfolder.path);
    RemoveEmptyParents(plan.installfolder.path, in.keep, guard);
  } else if (!sys_.DeleteFolderTree(plan.installfolder.path)) {
    const std::u16string message =
        DeleteFailedMessage(plan.installfolder.path, sys_.LastDeleteResult());
    log_("folder could not be deleted: ", message);
    obs_.UninstallStopped(plan.installfolder.path, message);
    return false;
  } else {
    log_("folder removed: ", plan.installfolder.path);
    RemoveEmptyParents(plan.installfolder.path, in.keep, guard);
  }

  // 6. the program group, and the vendor folder when nothing else is in it
  if (plan.programgroup) {
    if (plan.programgroup->refused) {
      if (plan.programgroup->decision.kept()) kept(*plan.programgroup);
    } else if (absent(*plan.programgroup)) {
      RemoveEmptyParents(plan.programgroup->path, in.keep, guard);
    } else if (sys_.DeleteFolderTree(plan.programgroup->path)) {
      log_("folder removed: ", plan.programgroup->path);
      RemoveEmptyParents(plan.programgroup->path, in.keep, guard);
    } else {
      log_("folder could not be deleted: ", plan.programgroup->path);
    }
    if (sys_.RemoveEmptyFolder(plan.vendorfolder))
      log_("empty folder removed: ", plan.vendorfolder);
  }

  // 7. the settings, only when the user agrees
  if (plan.settings && !absent(*plan.settings) && sys_.FolderExists(plan.settings->path)) {
    if (plan.settings->refused) {
      if (plan.settings->decision.kept()) kept(*plan.settings);
    } else if (obs_.DeleteSettings()) {
      const bool gone = sys_.DeleteFolderTree(plan.settings->path);
      log_(gone ? "settings folder removed: " : "settings folder could not be deleted: ",
           plan.settings->path);
    } else {
      log_("settings folder kept: ", plan.settings->path);
    }
  }

  // 8, 9. the desktop and Start Menu shortcuts: only link files, whatever the registry says
  if (EndsWithLinkSuffix(plan.desktoplink) && sys_.RemoveFile(plan.desktoplink)) {
    log_("shortcut removed: ", plan.desktoplink);
  }
  if (sys_.RemoveFile(plan.startmenulink)) log_("shortcut removed: ", plan.startmenulink);

  // 10. the file association: the class the installer wrote, then the extension key, when the
  // class opens a program in the installation folder
  RemoveAssociation(plan.installfolder.decision);

  // 11-15. the Uninstall, App Paths and Run keys and the per-user key the product owns (the
  // plan holds only keys that one product can own)
  RemoveKeyTrees(plan.keytrees);

  // 16.
  sys_.Pause(kUninstallPauseAtEnd);

  // 17.
  obs_.UninstallDone();
  return true;
}

}  // namespace kestrel
