// What an uninstall removes, computed as data from the values the installation recorded; the
// Win32 uninstall run executes it. Deleting folders is done without confirmation, so every folder
// is checked against the folders that were never ours to delete.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installengine/registration.h"
#include "sysutil/folderguard.h"

namespace kestrel {

// True when deleting `path` with everything below it could destroy what the product never
// installed: an empty or relative path, a drive or share root, a path with "." or ".."
// components, one of `keep` (the Windows folder, Program Files, the user's profile, the shell's
// special folders...) or a folder that holds one of them. Letter case and "/" versus "\" are
// ignored, as Windows ignores them.
bool IsProtectedFolder(const std::u16string& path, const std::vector<std::u16string>& keep);

struct UninstallInput {
  std::u16string basefolder;         // decoded "Path": the installation folder
  std::string exename;               // names the App Paths key
  std::string displayname;           // names the Uninstall key
  std::u16string programgroup;       // decoded "Startpath"
  std::string appdatafolder;         // "AppData": the settings folder's name
  std::string startpath;             // "Startpath" as stored (letter-hex)
  std::string desktop;               // "desktop" as stored (letter-hex)
  std::string mainprogram;           // the App Paths key's default value: the main program's path
  std::u16string programsfolder;     // ProgramsFolder()
  std::u16string appdataroot;        // AppDataFolder()
  std::u16string startmenufolder;    // StartMenuFolder()
  std::vector<std::u16string> keep;  // folders never to delete (see IsProtectedFolder)
};

struct FolderDelete {
  std::u16string path;
  bool refused = false;     // a protected folder: kept, and the user is told which
  FolderDecision decision;  // the guard's verdict when planned with one (see PlanUninstall)
};

struct UninstallPlan {
  FolderDelete installfolder;                // deleted first; its failure ends the run
  std::optional<FolderDelete> programgroup;  // absent when no group was recorded
  std::u16string vendorfolder;               // "Halvard" below Programs, removed only when empty
  std::optional<FolderDelete> settings;      // absent when no settings folder was recorded
  std::u16string desktoplink;  // empty: nothing, or a name holding a control character
  std::u16string startmenulink;
  std::vector<std::pair<RegRoot, std::string>> keytrees;  // removed in this order
};

UninstallPlan PlanUninstall(const UninstallInput& in);
// As above, with every folder delete decided by `guard` as well: the installation folder only
// when it is the folder the installation recorded (DecideInstallFolder), the program group and
// the settings folder when Decide allows them. A refused folder keeps its recorded path and
// `decision` says why (KeptFolderMessage); an allowed one carries the resolved long path.
UninstallPlan PlanUninstall(const UninstallInput& in, const FolderGuard& guard);

// The class key to remove for an associated extension whose default value is `classname`:
// only the class the installer writes its keys under; any other class belongs to someone else.
std::optional<std::string> ClassKeyToRemove(const std::string& classname);

// The per-user key removed last: "software" followed by the decoded program group, e.g.
// "software\Halvard\Tool". Empty when the group would leave nothing below "software".
std::string PerUserGroupKey(const std::string& startpath);

// The per-user key the product can be shown to own, or empty. A group names a vendor and a
// product ("\Halvard\Tool"): only that product's own key, software\Halvard\Tool, is removed,
// never the vendor's key above it. A one-component group ("\Mozilla") proves nothing (it may be
// another vendor's whole key), and no key of the system's own vendors is ever removed.
std::string OwnedUserKey(const std::string& startpath);

// The message for an installation folder that is still there after the shell's delete; it
// speaks of a file in use only when the shell's result code says so.
std::u16string DeleteFailedMessage(const std::u16string& folder, int shellresult);

// The key `name` directly below `parent`, or nothing when `name` would not name exactly one key
// there: empty after trimming blanks, holding a "\" (`filename`: also a "/"), "." or "..".
std::optional<std::string> ChildKey(std::string_view parent, std::string_view name, bool filename);

// False for a key tree whose removal would take more than one product's entry: an empty path or
// component, a "." or ".." component, a top-level key, or one of the keys that all products
// share (App Paths, Run, Uninstall, software\Classes...) or a key above one of them.
bool IsRemovableKeyTree(RegRoot root, std::string_view path);

}  // namespace kestrel
