// The uninstall run's system side: the folders never to delete, the shell's folder delete and
// the removal of registry key trees. The run itself is Triform::UninstallRun (uninstallrun.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "installengine/registration.h"

namespace kestrel {

// The Windows, system and Program Files folders, the profile, the shell's special folders (the
// user's and all users') and the temporary folder, as this system names them. Drive roots need
// no entry: they are refused in any case.
std::vector<std::u16string> ProtectedFolders();

// Deletes the folder with everything in it through the shell: silent, no confirmation, nothing
// to the recycle bin. True when the folder is gone afterwards; `shellresult` (if given) gets
// the operation's own result code.
bool ShellDeleteFolder(HWND owner, const std::u16string& folder, int* shellresult = nullptr);

// Removes the key and every key below it (depth first). A missing key is no error; a path that
// IsRemovableKeyTree refuses (the whole root, a key all products share) is never touched.
// True when the key is gone afterwards.
bool RemoveKeyTree(RegRoot root, const std::string& path);

}  // namespace kestrel
