#include "uninstall/uninstallrun.h"

#include <string_view>

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
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
    if (sys_.ServiceRunning(name)) {
      const bool stopped = sys_.ServiceStop(name);
      log_("service ", stopped ? "stopped: " : "could not be stopped: ", Ansi{name});
    }
    const bool deleted = sys_.ServiceDelete(name);
    log_("service ", deleted ? "deleted: " : "could not be deleted: ", Ansi{name});
  }
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

bool UninstallRun::Run() {
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
  sys_.Pause(kUninstallPauseAfterServices);

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
  for (const auto& [root, key] : plan.keytrees) {
    const char* rootname = root == RegRoot::kCurrentUser ? "HKCU\\" : "HKLM\\";
    if (!IsRemovableKeyTree(root, key)) {
      log_("registry key kept (shared by every product): ", rootname, Ansi{key});
      continue;
    }
    const bool removed = sys_.RemoveKeyTree(root, key);
    log_("registry key ", removed ? "removed: " : "could not be removed: ", rootname, Ansi{key});
  }

  // 16.
  sys_.Pause(kUninstallPauseAtEnd);

  // 17.
  obs_.UninstallDone();
  return true;
}

}  // namespace kestrel
