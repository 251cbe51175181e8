// What an uninstall removes, computed as data from the values the installation recorded; the
// Win32 uninstall run executes it. Deleting folders is done without confirmation, so every folder
// is checked against the folders that were never ours to delete.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "installengine/registration.h"

namespace kestrel {

// True when deleting `path` with everything below it could destroy what the product never
// installed: an empty or relative path, a drive or share root, a path with "." or ".."
// components, one of `keep` (the Windows folder, Program Files, the user's profile, the shell's
// special folders...) or a folder that holds one of them. Letter case and "/" versus "\" are
// ignored, as Windows ignores them.
bool IsProtectedFolder(const std::u16string& path, const std::vector<std::u16string>& keep);

struct UninstallInput {
  std::u16string basefolder;     // decoded "Path": the installation folder
  std::string exename;           // names the App Paths key
  std::string displayname;       // names the Uninstall key
  std::u16string programgroup;   // decoded "Startpath"
  std::string appdatafolder;     // "AppData": the settings folder's name
  std::string startpath;         // "Startpath" as stored (letter-hex)
  std::string desktop;           // "desktop" as stored (letter-hex)
  std::u16string programsfolder;   // ProgramsFolder()
  std::u16string appdataroot;      // AppDataFolder()
  std::u16string startmenufolder;  // StartMenuFolder()
  std::vector<std::u16string> keep;  // folders never to delete (see IsProtectedFolder)
};

struct FolderDelete {
  std::u16string path;
  bool refused = false;  // a protected folder: kept, and the user is told which
};

struct UninstallPlan {
  FolderDelete installfolder;               // deleted first; its failure ends the run
  std::optional<FolderDelete> programgroup;  // absent when no group was recorded
  std::u16string vendorfolder;              // "Halvard" below Programs, removed only when empty
  std::optional<FolderDelete> settings;     // absent when no settings folder was recorded
  std::u16string desktoplink;               // empty: nothing to remove
  std::u16string startmenulink;
  std::vector<std::pair<RegRoot, std::string>> keytrees;  // removed in this order
};

UninstallPlan PlanUninstall(const UninstallInput& in);

// The class key to remove for an associated extension whose default value is `classname`:
// only the class the installer writes its keys under; any other class belongs to someone else.
std::optional<std::string> ClassKeyToRemove(const std::string& classname);

// The per-user key removed last: "software" followed by the decoded program group, e.g.
// "software\Halvard\Tool". Empty when the group would leave nothing below "software".
std::string PerUserGroupKey(const std::string& startpath);

}  // namespace kestrel
