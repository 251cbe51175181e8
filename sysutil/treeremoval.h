// Removing a folder with everything in it by our own walk, never the shell's: only entries that
// the walk itself listed below the folder it was given are removed, each by its full path (the
// Win32 side reaches every length through "\\?\"), never a path relative to the current folder.
// A link or junction is removed as the link, never entered. A folder whose contents change while
// it is walked is listed again a few times; anything that still cannot be explained stops the walk
// with the path and the error, rather than a guess. Portable: the system is an interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// The Win32 error codes the walk tells apart (the fake systems of the tests use them too).
inline constexpr unsigned long kErrorFileNotFound = 2;
inline constexpr unsigned long kErrorPathNotFound = 3;
inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorInvalidName = 123;
inline constexpr unsigned long kErrorDirNotEmpty = 145;

enum class EntryKind { kNone, kFile, kFolder, kLink };

struct TreeEntry {
  std::u16string name;
  EntryKind kind = EntryKind::kFile;
  bool folderlink = false;  // a link that stands for a folder (a junction, a folder symlink)
};

class TreeSystem {
 public:
  virtual ~TreeSystem() = default;
  // What is at the path, without following a link there.
  virtual EntryKind KindOf(const std::u16string& path, bool& folderlink) = 0;
  // The entries of a folder that is not a link ("." and ".." left out). 0, or the error: a
  // folder that is a link by now is not listed.
  virtual unsigned long List(const std::u16string& folder, std::vector<TreeEntry>& out) = 0;
  // Deletes a file or a file link (a read-only one too); 0, or the error. Gone already: 0.
  virtual unsigned long RemoveFile(const std::u16string& path) = 0;
  // Removes an empty folder or a folder link; 0, or the error. Gone already: 0.
  virtual unsigned long RemoveFolder(const std::u16string& path) = 0;
};

struct TreeOutcome {
  bool complete = false;  // the folder is gone (or was never there)
  std::u16string failed;  // where the walk stopped
  unsigned long error = 0;
  std::size_t files = 0, folders = 0, links = 0;  // what was removed
};

// A path the walk may start at: a drive letter, ":\" and one or more components, or a share
// ("\\server\share\..."), none of them empty, "." or ".." or holding a control character.
bool IsWalkablePath(std::u16string_view path);

// Removes `root` with everything below it. A root that is a link is removed as the link; one
// that is a file, or not walkable, is refused (kErrorInvalidName).
TreeOutcome RemoveTree(TreeSystem& sys, const std::u16string& root);

// The files (and file links) below `root`, links to folders not entered, at most `limit`.
std::vector<std::u16string> FilesBelow(TreeSystem& sys, const std::u16string& root,
                                       std::size_t limit);

}  // namespace kestrel
