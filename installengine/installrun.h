// The install engine's run, step by step, over an interface to the system and one to whoever
// watches it: the Windows engine supplies the real system, the wizard or an unattended run the
// observer, the unit tests a recording fake of both. No OS calls happen here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "installengine/extract.h"
#include "installengine/registration.h"
#include "installengine/shortcuts.h"
#include "package/certtable.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "sysutil/log.h"
#include "sysutil/productsystem.h"

namespace kestrel {

// Shown when the engine runs although its package could not be opened: nothing is installed.
inline constexpr std::u16string_view kStatusNoPackage =
    u"Problem accessing setup data. Nothing was installed.";
// An enciphered package that was given no key: one made with a raw key and no password data.
inline constexpr std::u16string_view kStatusEncrypted =
    u"The package is enciphered without password data, so this setup program cannot open it";

// A status text of the engine as the user reads it: the fixed texts in the run's language, any
// other text as it is. The engine keeps its texts in English for the log and its own checks.
std::u16string ShownStatus(std::u16string_view status);

// Fixed pauses, in milliseconds, where the engine waits for another program or lets the user see
// the last steps of the bar.
inline constexpr int kPauseAfterClose = 3000;
inline constexpr int kPauseAfterServiceRemoved = 3000;
inline constexpr int kPauseBeforeFilesDone = 100;
inline constexpr int kPauseBeforeAllDone = 200;
inline constexpr int kPauseAfterAllDone = 40;

// What the run needs of the system. Every call is made on the thread that runs the
// installation; the Win32 one is WindowsInstallSystem (installsystem_win32.h).
class InstallSystem : public ProductSystem {
 public:
  virtual bool ServiceCreate(const std::string& name, const std::u16string& programpath) = 0;
  virtual bool ServiceStart(const std::string& name) = 0;

  virtual void WriteRegistryRows(const std::vector<RegistryRow>& rows) = 0;
  virtual void CreateShortcuts(const ShortcutPlan& plan) = 0;

  virtual std::u16string WindowsFolder() = 0;
  virtual std::u16string DesktopFolder() = 0;
  virtual std::u16string ProgramsFolder() = 0;
  virtual std::u16string StartMenuFolder() = 0;

  // Today as "YYYYMMDD", for the uninstall entry.
  virtual std::string InstallDate() = 0;
};

// The run's reports: the bar, the end of a run that was not cancelled, and a run stopped by a
// package read failure, which reports nothing else. The wizard takes them on the main thread.
class InstallReports {
 public:
  virtual ~InstallReports() = default;
  virtual void ShowProgress(std::int32_t progress) = 0;
  virtual void InstallDone(bool failed, const std::u16string& statustext) = 0;
  virtual void InstallStopped(const std::u16string& statustext) = 0;
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
  void SetLog(const Log& log) { log_ = log; }
  // The pauses that only let the user see the bar's last steps; an unattended run has no bar.
  // The waits for other programs (a product closing, a service going) stay.
  void SkipCosmeticPauses() { cosmetic_pauses_ = false; }

  // Opens `programpath` and reads the package's directory; sets no status text. `checked`, when
  // given, is that file as it was opened and checked at start-up: the files and the uninstaller
  // copy are then read from it, never from whatever the path names by now.
  bool OpenPackage(const std::u16string& programpath, std::int64_t packageend,
                   PackageFile* checked = nullptr);

  // The installation folder exactly as entered; set before RunInstall.
  std::u16string destfolder;

  // The whole installation, in its fixed order of steps.
  void RunInstall();

  bool failed() const { return failed_; }
  const std::u16string& statustext() const { return reader_.statustext; }
  std::int32_t progress() const { return reader_.progress; }
  PackageReader& reader() { return reader_; }
  const PackageReader& reader() const { return reader_; }

 private:
  void CloseRunningProduct();
  void RemoveEarlierServices();
  bool ExtractAll();
  void WriteUninstallerCopy();
  void Register();
  void WriteRows(const std::vector<RegistryRow>& rows);
  void SetProgress(std::int32_t percent);
  RegistrationInput Registration();

  const ConfigRecord& config_;
  FileSystem& fs_;
  InstallSystem& sys_;
  InstallObserver& obs_;
  Log log_;
  bool cosmetic_pauses_ = true;
  PackageReader reader_;
  bool failed_ = false;
};

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
