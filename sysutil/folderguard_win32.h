// The folder guard's system side: what the file system says about a path, and every folder the
// system reports as its own. The decisions themselves are in folderguard.h.
#pragma once

#include <windows.h>

#include "sysutil/folderguard.h"

namespace kestrel {

// Answers through the file system: long paths by GetFullPathName and GetLongPathName,
// identities by GetFileInformationByHandle, the 8-bit calls where UseWideApi is false. While it
// lives, a drive without a disk fails quietly instead of asking the user.
class Win32PathFacts final : public PathFacts {
 public:
  Win32PathFacts();
  ~Win32PathFacts() override;
  Win32PathFacts(const Win32PathFacts&) = delete;
  Win32PathFacts& operator=(const Win32PathFacts&) = delete;

  PathKind KindOf(const std::u16string& path) override;
  std::u16string LongPath(const std::u16string& path) override;
  std::optional<FileIdentity> Identity(const std::u16string& path) override;
  bool HasIdentities() override;
  bool Representable(const std::u16string& path) override;

 private:
  UINT olderrormode_;
};

// Every known folder the shell lists (the known-folder manager where the system has one, and
// every CSIDL), the Program Files and temporary folders, every drive root and every profile
// folder; as subtrees the Windows folder and the system folders.
SystemFolders SystemFoldersToKeep();

// An installation folder judged on this system (FolderGuard::DecideDestination): install and
// uninstall keep to the same rules.
FolderDecision DecideDestinationHere(const std::u16string& path);

}  // namespace kestrel
