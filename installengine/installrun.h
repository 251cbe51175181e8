// The install engine's run, step by step, over an interface to the system and one to whoever
// watches it: the Windows engine supplies the real system, the wizard or an unattended run the
// observer, the unit tests a recording fake of both. No OS calls happen here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installengine/extract.h"
#include "installengine/installrecord.h"
#include "installengine/installsystem.h"
#include "installengine/registration.h"
#include "installengine/shortcuts.h"
#include "installengine/transaction.h"
#include "package/certtable.h"
#include "package/locale.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "sysutil/log.h"
#include "sysutil/productsystem.h"

namespace kestrel {

// Shown when the engine runs although its package could not be opened: nothing is installed.
inline constexpr StatusText kStatusNoPackage{TextId::status_no_package};
// An enciphered package that was given no key: one made with a raw key and no password data.
inline constexpr StatusText kStatusEncrypted{TextId::status_encrypted};

// The install record could not be written: without it the uninstall would not know the files.
inline constexpr StatusText kStatusNoRecord{TextId::status_no_record};
// A file in use could not be scheduled to be replaced at the next start.
inline constexpr StatusText kStatusNoRestartReplace{TextId::status_no_restart_replace};
// The package names no product the system can register.
inline constexpr StatusText kStatusNoIdentity{TextId::status_no_identity};

// The generation of this uninstaller. The shared uninstaller copy that earlier versions named
// in their Uninstall keys is only ever replaced by a later generation of itself; a program
// without the stamp is of generation 1.
inline constexpr int kStubGeneration = 2;
// The generation stamped into a program's bytes, 1 when it carries no stamp.
int StubGeneration(const std::uint8_t* bytes, std::size_t size);

// A status text of the engine as the user reads it: the fixed texts in the run's language, any
// other text as it is. The engine keeps its texts in English for the log and its own checks.
std::u16string ShownStatus(std::u16string_view status);

// Fixed pauses, in milliseconds, that let the user see the last steps of the bar.
inline constexpr int kPauseBeforeFilesDone = 100;
inline constexpr int kPauseBeforeAllDone = 200;
inline constexpr int kPauseAfterAllDone = 40;

// The run's reports: the bar, the end of a run that was not cancelled, and a run stopped by a
// package read failure, which reports nothing else. The wizard takes them on the main thread.
class InstallReports {
 public:
  virtual ~InstallReports() = default;
  virtual void ShowProgress(std::int32_t progress) = 0;
  virtual void InstallDone(bool failed, const std::u16string& statustext) = 0;
  virtual void InstallStopped(const std::u16string& statustext) = 0;
  // The run undoes what it changed (a failure, a cancel, or an interrupted earlier run).
  virtual void RollingBack() {}
};

// Whoever watches the run from the thread it runs on: the wizard's worker, which holds the run
// while a question is open and hands the reports to the main thread, or a windowless
// unattended run. The run stops only at safe points and pauses.
class InstallObserver : public InstallReports {
 public:
  // Waits, or less when the installation is cancelled meanwhile.
  virtual void Pause(int milliseconds) = 0;
  // A point where the run may stop: returns once the user is not being asked whether to cancel.
  virtual void SafePoint() = 0;
  // True once the user confirmed the cancel.
  virtual bool Cancelled() = 0;
};

class InstallRun {
 public:
  // `config` is the session's Configuration record; it must not change while the run goes on.
  InstallRun(const ConfigRecord& config, FileSystem& fs, InstallSystem& sys,
             InstallObserver& observer);

  // Where the steps report what they did; off unless set.
  void SetLog(const Log& log) {
    log_ = log;
    txn_.SetLog(log);
  }
  // The pauses that only let the user see the bar's last steps; an unattended run has no bar.
  // The waits for other programs (a product closing, a service going) stay.
  void SkipCosmeticPauses() { cosmetic_pauses_ = false; }

  // The root of the product's own keys: HKLM, or HKCU for an installation for one user.
  RegRoot root = RegRoot::kLocalMachine;
  // /ALLOWDOWNGRADE: an older package may replace a newer installed version.
  bool allowdowngrade = false;
  // /CLOSEAPPLICATIONS or the wizard's choice: applications that hold files the installation
  // replaces are closed first; otherwise those files are replaced at the next start.
  bool closeapplications = false;
  // The applications closed are started again at the end; /NORESTARTAPPLICATIONS: they are not.
  bool restartapplications = true;
  // The product's names in any script (the package's UTF-16 names over its 8-bit fields) for
  // the shortcuts and the uninstall entry; nothing: the 8-bit fields. Set before RunInstall.
  const ProductNames* names = nullptr;
  // The language, brand and picture this run shows, as the record keeps them for the
  // uninstaller; empty: English, "Kestrel" and its picture.
  std::string language;

  // Opens `programpath` and reads the package's directory; sets no status text. `checked`, when
  // given, is that file as it was opened and checked at start-up: the files and the uninstaller
  // copy are then read from it, never from whatever the path names by now.
  bool OpenPackage(const std::u16string& programpath, std::int64_t packageend,
                   PackageFile* checked = nullptr);

  // The installation folder exactly as entered; set before RunInstall.
  std::u16string destfolder;

  // The whole installation, in its fixed order of steps.
  void RunInstall();

  // The package's files that are already in place below `destfolder`: those the installation
  // writes over. After OpenPackage.
  std::vector<std::u16string> FilesInPlace();

  bool failed() const { return failed_; }
  // Every change is made and kept: a cancel from here on changes nothing.
  bool committed() const { return committed_; }
  // Files in use were written beside their places: the system's next start completes the
  // installation (exit code 3010).
  bool restart() const { return restart_; }
  // The run refused to replace a newer installed version (exit code 1638).
  bool downgrade() const { return downgrade_; }
  // An interrupted earlier run of this product was completed or undone first.
  Recovery recovered() const { return recovered_; }
  const std::u16string& statustext() const { return reader_.statustext; }
  std::int32_t progress() const { return reader_.progress; }
  PackageReader& reader() { return reader_; }
  const PackageReader& reader() const { return reader_; }
  // What the installation made, as its record holds it (complete once RunInstall succeeded).
  const InstallRecord& record() const { return record_; }

 private:
  // Forwards to the system's file system and notes every folder it creates.
  class FolderNotes final : public ForwardingFileSystem {
   public:
    explicit FolderNotes(FileSystem& fs) : ForwardingFileSystem(fs) {}
    bool CreateFolder(const std::u16string& p) override;
    std::vector<std::u16string> made;
  };

  enum class Ending { kDone, kFailed, kCancelled, kStopped };
  bool CheckOwnership();
  bool CheckVersion();
  bool CheckSpace();
  Ending Steps();
  void RemoveDroppedFiles();
  void RemoveEmptiedFolders();
  void ReadEarlierRecord();
  void CloseRunningProduct();
  // The file step's destination paths: every record it does not refuse.
  std::vector<std::u16string> FileStepPaths();
  void CloseAppsUsingFiles();
  void RestartClosedApps();
  void RemoveEarlierServices();
  bool ExtractAll();
  bool WriteProgramCopy(const std::u16string& path);
  bool WriteUninstallerCopy();
  void RefreshSharedUninstaller();
  // `associated`: the package's file association is written.
  bool WriteRecord(const ShortcutPlan& links, const RegistrationInput& in, bool associated);
  void WriteRows(const std::vector<RegistryRow>& rows);
  void RetireLegacyEntry();
  void SetProgress(std::int32_t percent);
  RegistrationInput Registration();
  // Writes bytes to `path` whole: beside it first, then moved into place.
  bool WriteWhole(const std::u16string& path, const std::uint8_t* bytes, std::size_t size);

  const ConfigRecord& config_;
  Transaction txn_;  // fs_ and sys_ are its decorators: every change goes through it
  FileSystem& fs_;
  InstallSystem& sys_;
  InstallObserver& obs_;
  Log log_;
  bool cosmetic_pauses_ = true;
  FolderNotes notes_;
  PackageReader reader_;
  bool failed_ = false;
  bool downgrade_ = false;
  bool committed_ = false;
  bool restart_ = false;
  bool closedapps_ = false;  // applications were closed: they are started again at the end
  bool surveyed_ = false;    // the transaction's survey of the files is still true
  std::vector<std::u16string> emptied_;  // the earlier version's folders, deepest first
  Recovery recovered_ = Recovery::kNone;
  std::string identity_;
  InstallRecord earlier_;  // the same product's record, when `haveearlier_`
  bool haveearlier_ = false;
  InstallRecord record_;
  std::uint64_t written_ = 0;  // bytes the file step wrote
};

// Compares two dotted versions part by part, each by its number and then the rest as text
// ("1.10" is newer than "1.9", "2" equals "2.0"): below 0 when `a` is older.
int CompareVersions(std::string_view a, std::string_view b);

// The refusal of an older package over a newer installed version.
std::u16string DowngradeMessage(const std::u16string& product, const std::string& package,
                                const std::string& installed);
// The journal that lets a failed installation be undone could not be written in `folder`.
std::u16string NoJournalMessage(const std::u16string& folder);
// A file could not be written because its disk is full.
std::u16string DiskFullMessage(const std::u16string& path);
// The refusal of an installation that does not fit its volume.
std::u16string NoSpaceMessage(const std::u16string& volume, std::uint64_t needed,
                              std::uint64_t free);

// The message for a main program name that another product has registered.
std::u16string OwnedByAnotherMessage(const std::string& exename, const std::string& owner);

// A registry row as the log shows it: "HKLM\key [name] = value", in UTF-8.
std::string RowText(const RegistryRow& r);

// The title pattern of a running copy of the product: its trimmed name, a blank, "(" and more.
std::string RunningWindowPattern(const ConfigRecord& config);

// Copies bytes 0 up to `length` of `program` into `out` in pieces of at most 65536 bytes through
// `buffer`, reading from the current position; stops early when a read yields nothing or a write
// fails. True when all `length` bytes were copied. `patch` (PlanUninstallerPatch) is applied to
// the pieces on their way.
bool CopyProgramPart(PackageFile& program, PackageFile& out, std::int64_t length,
                     std::uint8_t* buffer, const UninstallerPatch& patch = {});

}  // namespace kestrel
