// The install's transaction: every change the run makes to the machine is noted in a journal
// before it is made, so that a failed, cancelled or killed install can be undone in reverse
// order and leaves the machine as it was.
//
// The run sees two decorators, files() and system(), in place of the real file system and
// system. Until Begin they only forward; from Begin on:
//   - a file that is created is noted; a file that exists is first moved aside on its own volume
//     (a rename beside it, not a copy), and so is a file that is removed;
//   - folders made and removed, registry keys before their first change (their values, or that
//     they were not there), services created, stopped and deleted are noted;
// and each note is written to the journal file before the change. The file step's changes are
// noted all at once before it (Plan): the files it will move aside, with their backups' names,
// and the files and folders it will make, written and put on the disk in one go, so each file
// then costs no journal write. Undoing a note whose change was never made does nothing (its
// backup is not there, its file or folder is not there), so a plan that was cut short by a kill
// is undone like one that ran to its end. Commit removes what was moved aside; Rollback undoes
// the notes, newest first. A run that died leaves its journal, which
// a registry value under the product's root names ("Software\Kestrel\Setup journals", a value
// per identity): the next program for that product calls RecoverTransaction first.
//
// The journal file: "KTJ1", then entries of u32 length, u8 kind, payload, u32 CRC-32 of kind and
// payload. A cut or damaged entry ends it: the change it guarded was never made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "installengine/installsystem.h"
#include "package/pkgfile.h"
#include "sysutil/log.h"

namespace kestrel {

// Where the pointers to journals live, below the product's root.
inline constexpr const char* kJournalKey = "Software\\Kestrel\\Setup journals";

enum class JournalKind : std::uint8_t {
  kFileCreated = 1,     // path: undo deletes it
  kFileMoved = 2,       // path, backup: undo moves the backup back
  kFolderCreated = 3,   // path: undo removes it when empty
  kFolderRemoved = 4,   // path: undo makes it again
  kKeySaved = 5,        // root, key, SavedKey: undo restores it
  kServiceCreated = 6,  // name: undo stops and deletes it
  kServiceStopped = 7,  // name: undo starts it
  kServiceRemoved = 8,  // name, its command line: undo creates it again
  kCommit = 9,          // the install is complete: only the backups remain to be removed
};

struct JournalEntry {
  JournalKind kind{};
  std::u16string path, other;  // files and folders; a service's command line in `other`
  std::string name;            // a key path or a service name
  RegRoot root = RegRoot::kLocalMachine;
  SavedKey key;
};

// Appends the entry's bytes to `out`.
void EncodeJournalEntry(const JournalEntry& e, std::vector<std::uint8_t>& out);
// The whole entries of a journal's bytes, up to the first cut or damaged one; false when the
// bytes are not a journal at all.
bool DecodeJournal(const std::uint8_t* bytes, std::size_t size, std::vector<JournalEntry>& out);

// A log line whose literal texts are passed on as pointers: the log joins its parts in code made
// for each form of them, and a literal's length is part of its form, so this way every line of
// one shape shares that code.
template <class... Parts>
void LogLine(const Log& log, const Parts&... parts) {
  log(static_cast<
      std::conditional_t<std::is_array_v<Parts>, const std::remove_extent_t<Parts>*, const Parts&>>(
      parts)...);
}

// The journal's file name for a product: "Setup <tag>.journal".
std::u16string JournalName(const std::string& identity);
// The journal's folder: the installation folder when it is there, else the nearest folder above
// it that is (so the folders the install makes are noted like every other change). Empty when
// none is (a drive that is not there).
std::u16string JournalFolder(FileSystem& fs, const std::u16string& destfolder);

class Transaction {
 public:
  Transaction(FileSystem& fs, InstallSystem& sys);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void SetLog(const Log& log) { log_ = log; }

  // The decorators the run works through.
  FileSystem& files();
  InstallSystem& system();

  // Starts noting changes: points the product's journal value at `journalpath` and creates the
  // journal there. False (nothing changed) when either fails. A transaction is begun once.
  bool Begin(const std::u16string& journalpath, RegRoot root, const std::string& identity);
  bool active() const { return active_; }
  // A note could not be written, so a change after it was refused: the run must not succeed.
  bool broken() const { return broken_; }
  // Notes that the file at `path` is to be made by a program other than the run (a link):
  // moves a file there aside first. False when that could not be noted. With `actual`, a file
  // there that is in use (it cannot even be renamed) is left alone: the new one is made beside
  // it, at the path `actual` receives, and put in its place when the system starts again.
  bool BeforeCreate(const std::u16string& path, std::u16string* actual = nullptr);
  // Finds which of the files the file step will write (`paths`, full paths) are there now: each
  // folder is listed once. Made again when something may have changed them since.
  void Survey(std::vector<std::u16string> paths);
  // The surveyed files that are there now.
  std::vector<std::u16string> InPlace() const;
  // Notes every surveyed file before the first of them is written: a file there now is to be
  // moved aside, the others made. False when the journal could not be written (then no change
  // is made after it). Planned once.
  bool Plan();
  // Every change is made and kept: the files written beside files in use are scheduled to
  // replace them at the next start, the backups go, then the journal and its value. False (and
  // nothing kept yet) when a replacement could not be scheduled.
  bool Commit();
  // Files in use were written beside their places: a restart completes the installation.
  bool atrestart() const { return !beside_.empty(); }
  // Undoes every noted change, newest first; the journal and its value go last.
  void Rollback();
  std::size_t changes() const { return entries_.size(); }

 private:
  class Files;
  class System;
  friend class Files;
  friend class System;
  // Sorted folded paths (FoldPath) (no tree in the program: sorted vectors, binary searched).
  struct Names {
    std::vector<std::u16string> v;
    std::size_t At(const std::u16string& folded, bool& found) const;
    bool Has(const std::u16string& folded) const;
    // `folded` or a folder above it is one of the names.
    bool HasOrAbove(const std::u16string& folded) const;
    void Add(std::u16string folded);
    bool Remove(const std::u16string& folded);
  };

  // Writes an entry to the journal (and to the disk when `durable`) before its change.
  bool Note(JournalKind kind, bool durable, const std::u16string& path = {},
            const std::u16string& other = {}, const std::string& name = {},
            RegRoot root = RegRoot::kLocalMachine, SavedKey* key = nullptr);
  // Adds an entry to those the next Sync writes; Sync writes them all in one write (and puts
  // them on the disk when `durable`). Note is the two at once.
  bool Stage(JournalKind kind, const std::u16string& path = {}, const std::u16string& other = {},
             const std::string& name = {}, RegRoot root = RegRoot::kLocalMachine,
             SavedKey* key = nullptr);
  bool Sync(bool durable);
  // `path` with `mark` and the first number that names no file yet (in `files` when given, the
  // folded paths of its folder's files) nor one the file step writes (or 10000).
  std::u16string FreeName(const std::u16string& path, std::u16string_view mark,
                          const Names* files = nullptr);
  bool MoveAside(const std::u16string& path);
  // Stages the key's note (the first time); `durable` becomes true when it existed (its values
  // are in the note alone).
  bool SaveKeyOnce(RegRoot root, const std::string& key, bool& durable);
  // Notes a change to a service (while active).
  bool NoteService(JournalKind kind, const std::string& name);
  void End();

  FileSystem& fs_;
  InstallSystem& sys_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<System> system_;
  Log log_;
  bool active_ = false;
  bool broken_ = false;  // a note could not be written: no change is made after it
  std::unique_ptr<PackageFile> journal_;
  std::u16string journalpath_;
  RegRoot root_ = RegRoot::kLocalMachine;
  std::string identity_;
  std::vector<JournalEntry> entries_;
  std::vector<std::uint8_t> pending_;  // the staged entries' bytes
  std::size_t written_ = 0;            // entries_ before this one are in the journal

 public:
  // A file the plan noted: its folded path (FoldPath) and its entry (none once it was made).
  struct Planned {
    std::u16string key;
    std::size_t entry = ~std::size_t{0};
    enum : std::uint8_t { kAbsent, kThere, kInTheWay } state = kAbsent;  // kInTheWay: a folder
    bool listed = false;  // its folder's files are in infolders_
  };

 private:
  std::vector<std::u16string> paths_;   // the surveyed files, in the order of the file step
  std::vector<Planned> planned_;        // in the order of the file step
  std::vector<Planned*> plannedorder_;  // by name, each name once
  Planned* PlannedAt(const std::u16string& folded);
  Names infolders_;  // the folded paths of the files in the surveyed folders
  bool planned_once_ = false;
  Names created_;                                           // files this transaction made
  Names folders_;                                           // folders this transaction made
  std::vector<std::pair<RegRoot, std::string>> savedkeys_;  // every key saved
  std::vector<std::u16string> beside_;  // each new file written beside its place, then the place
};

// Undoes the changes `entries` note, newest first (or, after a commit, removes the backups).
// Used by Rollback and by the recovery of a run that died.
void UndoJournal(FileSystem& fs, InstallSystem& sys, const std::vector<JournalEntry>& entries,
                 const Log& log);
void FinishCommitted(FileSystem& fs, InstallSystem& sys, const std::vector<JournalEntry>& entries,
                     const Log& log);

// kNone also when a value named a journal that was never made or already removed.
enum class Recovery { kNone, kRolledBack, kCompleted };
// A run of this product that died left a journal: its changes are undone (or, when it had
// committed, its backups removed), then the journal and its value go.
Recovery RecoverTransaction(FileSystem& fs, InstallSystem& sys, RegRoot root,
                            const std::string& identity, const Log& log);

}  // namespace kestrel
