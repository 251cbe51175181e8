// The uninstall run's system side on Windows: the folders never to delete, the shell's folder
// delete, the removal of registry key trees, and the UninstallSystem made of them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "installengine/registration.h"
#include "sysutil/folderguard_win32.h"
#include "sysutil/productsystem_win32.h"
#include "sysutil/treeremoval_win32.h"
#include "uninstall/uninstallrun.h"

namespace kestrel {

// The Windows, system and Program Files folders, the profile, the shell's special folders (the
// user's and all users') and the temporary folder, as this system names them. Drive roots need
// no entry: they are refused in any case.
std::vector<std::u16string> ProtectedFolders();

// Removes the key and every key below it (depth first). A missing key is no error; a path that
// IsRemovableKeyTree refuses (the whole root, a key all products share) is never touched.
// True when the key is gone afterwards.
bool RemoveKeyTree(RegRoot root, const std::string& path);

class WindowsUninstallSystem final : public WindowsProductSystem<UninstallSystem> {
 public:
  WindowsUninstallSystem() = default;

  std::string ReadClassesString(const std::string& key, const std::string& value) override;
  void Pause(int milliseconds) override;
  std::u16string ProgramsFolder() override;
  std::u16string AppDataFolder() override;
  std::u16string StartMenuFolder() override;
  std::vector<std::u16string> ProtectedFolders() override;
  PathFacts& Facts() override { return facts_; }
  SystemFolders FoldersToKeep() override { return SystemFoldersToKeep(); }
  bool FolderExists(const std::u16string& path) override;
  bool DeleteFolderTree(const std::u16string& path) override;
  // The Win32 error where the last DeleteFolderTree stopped.
  int LastDeleteResult() override { return lastdelete_; }
  TreeSystem& Tree() override { return tree_; }
  bool RemoveEmptyFolder(const std::u16string& path) override;
  bool RemoveFile(const std::u16string& path) override;
  bool RemoveKeyTree(RegRoot root, const std::string& path) override;

 private:
  Win32PathFacts facts_;
  Win32TreeSystem tree_;
  int lastdelete_ = 0;
};

}  // namespace kestrel
