// Which folders the uninstaller may delete with everything in them. The decision is made on the
// folder, not on its spelling: a path is first required to be a plain local path that Windows
// takes literally, then resolved by the system to its full long form and its identity (volume
// and file index), and compared with every folder the system reports as its own. The system
// side only answers questions about paths (PathFacts); everything decided here is portable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sysutil/pathrules.h"

namespace kestrel {

struct FileIdentity {
  std::uint32_t volume = 0;  // volume serial number
  std::uint64_t index = 0;   // file index on that volume
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

enum class PathKind { kNone, kFile, kFolder };

// What the system says about a path. The Win32 side asks the file system; tests use a table.
class PathFacts {
 public:
  virtual ~PathFacts() = default;
  // What is at the path (following links, as a delete would).
  virtual PathKind KindOf(const std::u16string& path) = 0;
  // The full path with every component in its long form, as the file system names it; empty
  // when the system cannot resolve it.
  virtual std::u16string LongPath(const std::u16string& path) = 0;
  // Volume serial number and file index; nothing when the object cannot be opened.
  virtual std::optional<FileIdentity> Identity(const std::u16string& path) = 0;
  // False on systems that have no file identities (then only the long form is compared).
  virtual bool HasIdentities() = 0;
  // Whether the system call receives exactly this text (the 8-bit calls: the conversion to the
  // code page round-trips).
  virtual bool Representable(const std::u16string& path) = 0;
};

// The folders never to delete, as the system reports them.
struct SystemFolders {
  // Never deleted, nor any folder that holds one of them: every known folder, every drive
  // root, every profile folder.
  std::vector<std::u16string> folders;
  // Nothing at or below them is deleted: the Windows folder and its system folders.
  std::vector<std::u16string> subtrees;
};

enum class FolderReason {
  kDelete,             // may be deleted with everything in it
  kAbsent,             // nothing there, nothing to delete
  kBadSpelling,        // see `fault`
  kUnrepresentable,    // the 8-bit call would receive another name
  kNotFolder,          // a file, not a folder
  kUnresolved,         // there, but the system cannot say which folder it is
  kSystemFolder,       // one of the system's folders
  kHoldsSystemFolder,  // lies above one of them
  kInsideWindows,      // lies inside the Windows folder
  kNotRecorded,        // not the folder the installation recorded
};

struct FolderDecision {
  FolderReason reason = FolderReason::kBadSpelling;
  PathFault fault = PathFault::kNone;
  std::u16string recorded;   // the path as it was given
  std::u16string path;       // the resolved long form when known: what is deleted
  std::u16string collision;  // the system folder it is, holds or lies in
  bool remove() const { return reason == FolderReason::kDelete; }
  // Kept, and the user (or the log) must be told: everything but a delete and an absent folder.
  bool kept() const { return reason != FolderReason::kDelete && reason != FolderReason::kAbsent; }
};

class FolderGuard {
 public:
  // Resolves every system folder once (long form, identity, and the identities of the folders
  // above it).
  FolderGuard(const SystemFolders& system, PathFacts& facts);

  // A folder that would be deleted with everything below it.
  FolderDecision Decide(const std::u16string& path) const;

  // The installation folder: as Decide, and it must be the folder the installation recorded,
  // that is hold the main program that App Paths names: `mainprogram` (the key's default
  // value, 8-bit) must be `path` + "\" + `exename`, compared as the system resolves them, and
  // that file must be there.
  FolderDecision DecideInstallFolder(const std::u16string& path, const std::string& mainprogram,
                                     const std::string& exename) const;

  // A folder an installation is about to write into: the same rules, so that whatever setup
  // installs the uninstaller may remove again, and nothing goes into a folder of the system.
  // Usable when not kept(): an ordinary folder that stands (kDelete), or one that does not yet
  // (kAbsent), judged as the folder it will be below the nearest folder above it that stands.
  // `path` is then the spelling to install to and to record: the system's long form of what
  // stands, the new names behind it.
  FolderDecision DecideDestination(const std::u16string& path) const;

 private:
  struct Known {
    std::u16string folded;  // folded long form
    std::u16string shown;   // as the system names it
    std::optional<FileIdentity> id;
  };
  std::optional<FileIdentity> IdentityOf(const std::u16string& path) const;
  // The Windows folder or one of its system folders that `folder` (a resolved long path) lies
  // in, by name or through the identity of a folder above it (from `folder` itself when
  // `from_self`); empty when none.
  std::u16string SubtreeHolding(const std::u16string& folder, bool from_self) const;

  PathFacts& facts_;
  std::vector<Known> folders_;  // includes the subtrees
  std::vector<Known> subtrees_;
  std::vector<Known> above_;  // every folder above a system folder, with its identity
};

// What the user is told about a kept folder; empty for a delete or an absent folder.
std::u16string KeptFolderMessage(const FolderDecision& decision);
// What the user is told about a refused destination (DecideDestination); empty when usable.
std::u16string RefusedDestinationMessage(const FolderDecision& decision);

// True when the program `command` runs lies inside the installation folder the guard judged
// (`install`, from DecideInstallFolder): never when the folder was kept; else inside it as
// recorded or as resolved, or, for a program that is there, as the system resolves both.
bool ProgramInInstallFolder(const FolderDecision& install, std::u16string_view command,
                            PathFacts& facts);

}  // namespace kestrel
