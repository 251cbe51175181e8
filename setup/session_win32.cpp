#include "setup/session_win32.h"

#include <memory>
#include <optional>
#include <string>

#include "decode/password.h"
#include "decode/sha256.h"
#include "installengine/installrun.h"
#include "installengine/installsystem_win32.h"
#include "installengine/registration.h"
#include "package/integrity.h"
#include "package/pkgfile_win32.h"
#include "package/protection.h"
#include "package/startload.h"
#include "setup/options.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/folderguard_win32.h"
#include "sysutil/handles_win32.h"
#include "sysutil/logfile_win32.h"
#include "sysutil/outcome.h"
#include "sysutil/texts.h"
#include "toolkit/app_win32.h"
#include "toolkit/msgbox_win32.h"
#include "uninstall/uninstallrun.h"
#include "uninstall/uninstallsystem_win32.h"
#include "wizard/choosedir_win32.h"
#include "wizard/mainunit_win32.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace kestrel {
namespace {

// One setup of a product at a time, across sessions: installs and uninstalls of different
// products would still fight over shared folders, services and the uninstaller copy.
constexpr wchar_t kRunningMutex[] = L"Global\\KestrelSetupRunning";

// The process-wide handle on the program's own file, opened at start-up in install mode and
// kept open until the program ends.
std::unique_ptr<PackageFile> g_setupfile;
LocaleLoad g_localeload = LocaleLoad::kAbsent;

// The language of the run: /LANG=, else the user's interface language, among those the package
// carries; its texts and the vendor's brand become the run's.
void ChooseLanguage(const SetupData& data, const SetupOptions& options, const Log& log) {
  if (g_localeload == LocaleLoad::kDamaged) log("the package's languages and names are damaged");
  const std::string code = SelectLanguage(data.locale.Codes(), GetUserDefaultUILanguage(),
                                          Utf16ToUtf8(options.language));
  Texts& texts = Texts::Current();
  if (const TextTable* table = data.locale.Find(code)) texts.Apply(*table);
  texts.SetBrand(data.locale.brand);
  log("language: ", code);
}

const char* UiName(UiLevel ui) {
  switch (ui) {
    case UiLevel::kFull:
      return "wizard";
    case UiLevel::kPassive:
      return "passive";
    case UiLevel::kSilent:
      return "silent";
  }
  return "wizard";
}

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kDone:
      return "success";
    case Outcome::kCancelled:
      return "cancelled by the user";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kAlreadyRunning:
      return "another setup is running";
    case Outcome::kBadCommandLine:
      return "bad command line";
  }
  return "failed";
}

// Install mode: the record and the licence from the program's own file. The message of a
// fatal condition, or nothing.
std::optional<std::u16string> LoadInstallMode(SetupData& data) {
  const std::u16string path = ProgramPath();
  g_setupfile = SystemFileSystem().NewFile();
  if (!g_setupfile->OpenRead(path)) return u"Unable to find Setup Files in " + path;
  data.setupfile = g_setupfile.get();
  data.basefolder = ProgramFilesFolder();
  switch (LoadStartupPackage(*g_setupfile, data.config, data.licensetext)) {
    case StartupLoad::kOk:
      break;
    case StartupLoad::kUnreadable:
      return u"Unable to read from setup file!";
    case StartupLoad::kNoPackage:
      return u"No install files attached!";
    case StartupLoad::kDamaged:
      return std::u16string(kDamagedSetupMessage);
  }
  // a package whose checksum held but whose locale does not read speaks English with its 8-bit
  // names; the log says so
  g_localeload = ReadLocale(*g_setupfile, data.config, data.locale);
  if (g_localeload == LocaleLoad::kDamaged) data.locale = LocaleData{};
  data.names = ResolveNames(data.config, data.locale.names);
  switch (ReadPackageProtection(*g_setupfile, data.config, data.header)) {
    case PackageProtection::kPassword:
      data.needpassword = true;
      break;
    case PackageProtection::kRawKey:
      return ShownStatus(kStatusEncrypted);
    case PackageProtection::kTooCostly:
      return Tr(TextId::too_many_iterations);
    case PackageProtection::kPlain:
    case PackageProtection::kUnreadable:  // the engine reports it when it opens the package
      break;
  }
  return std::nullopt;  // setupfile stays open until the program ends
}

// Uninstall mode: the few record fields the installation left in its App Paths key.
std::optional<std::u16string> LoadUninstallMode(SetupData& data, const std::u16string& program) {
  ConfigRecord& config = data.config;
  std::string exename = ToCodePage(program);
  if (exename.size() > 255) exename.resize(255);
  WriteShort(config.exename, exename);

  const std::string key = AppPathsKey(exename);
  std::string displayname = ReadMachineString(key, "Displayname", "");
  if (displayname.size() > 255) displayname.resize(255);
  WriteShort(config.displayname, displayname);

  data.basefolder = DecodeLetterHex(ReadMachineString(key, "Path", ""));

  const std::u16string group = DecodeLetterHex(ReadMachineString(key, "Startpath", ""));
  std::size_t units = 0;
  for (; units < group.size() && units < 520 && group[units] != 0; ++units) {
    config.programgroup.units[units] = group[units];
  }
  for (; units < kWideTextUnits; ++units) config.programgroup.units[units] = 0;

  std::string appdata = ReadMachineString(key, "AppData", "");
  if (appdata.size() > 255) appdata.resize(255);
  WriteShort(config.appdatafolder, appdata);

  data.names = ResolveNames(config, {});
  if (data.basefolder.empty() || displayname.empty()) {
    return Tr(TextId::no_uninstall_info);
  }
  return std::nullopt;
}

// The destination page's first text: Program Files joined with the package's folder, in UTF-16
// so a folder named in any script is installed into as named.
std::u16string DefaultDestination(const SetupData& data) {
  return StripTrailingBackslash(data.basefolder) + ReadWide(data.config.installfolder);
}

// An unattended install of a password package takes its password from /PASSWORD= or from the
// file named by /PASSWORDFILE=. The password itself never reaches the log.
std::optional<std::u16string> UnlockUnattended(SetupData& data, const SetupOptions& options) {
  std::string utf8;
  if (options.password) {
    utf8 = Utf16ToUtf8(*options.password);
  } else if (!options.passwordfile.empty()) {
    auto file = SystemFileSystem().NewFile();
    const std::int64_t size = file->OpenRead(options.passwordfile) ? file->Size() : -1;
    if (size < 0 || size > 4096) {
      return u"The password file " + options.passwordfile + u" cannot be read";
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::uint32_t n = static_cast<std::uint32_t>(size);
    file->Read(bytes.data(), n);
    file->Close();
    if (n != bytes.size()) return u"The password file " + options.passwordfile + u" cannot be read";
    std::string problem;
    std::optional<std::string> text = PasswordFromFileText(bytes, problem);
    SecureZero(bytes.data(), bytes.size());
    if (!text) return u"The password file " + options.passwordfile + u" " + Utf8ToUtf16(problem);
    utf8 = std::move(*text);
  } else {
    return u"The package is protected by a password: give /PASSWORD= or /PASSWORDFILE=";
  }
  const PasswordCheck check = CheckPassword(data.header, utf8, data.key);
  SecureZero(utf8.data(), utf8.size());
  if (check != PasswordCheck::kAccepted) return u"The password is not correct";
  data.haskey = true;
  return std::nullopt;
}

// A silent install: the same run as the wizard's, on this thread, watched by nobody.
class SilentInstall final : public InstallObserver {
 public:
  void Pause(int milliseconds) override { Sleep(static_cast<DWORD>(milliseconds)); }
  void SafePoint() override {}
  bool Cancelled() override { return false; }
  void ShowProgress(std::int32_t) override {}
  void InstallDone(bool failed, const std::u16string&) override {
    done = true;
    this->failed = failed;
  }
  void InstallStopped(const std::u16string&) override { failed = true; }

  bool done = false;
  bool failed = false;
};

Outcome RunSilentInstall(const SetupData& data, const std::u16string& destination, const Log& log) {
  WindowsInstallSystem system;
  SilentInstall watcher;
  InstallRun run(data.config, SystemFileSystem(), system, watcher);
  run.SetLog(log);
  run.SkipCosmeticPauses();
  if (data.haskey) run.reader().SetKey(data.key);
  if (!run.OpenPackage(ProgramPath(), data.config.licenseoffset, data.setupfile)) {
    log("the package's directory could not be read");
  }
  run.destfolder = destination;
  log("destination: ", MaskPasswords(run.destfolder));
  run.RunInstall();
  if (watcher.done && !watcher.failed) {
    log("installation complete");
    return Outcome::kDone;
  }
  return Outcome::kFailed;
}

// A silent uninstall: the settings stay, refusals and failures go to the log only.
class SilentUninstall final : public UninstallObserver {
 public:
  void UninstallStarted(const std::string&) override {}
  bool DeleteSettings() override { return false; }
  void FolderKept(const std::u16string&) override {}
  void UninstallStopped(const std::u16string&, const std::u16string&) override {}
  void UninstallDone() override {}
};

Outcome RunSilentUninstall(const SetupData& data, const Log& log) {
  UninstallInfo info;
  info.exename = ReadShort(data.config.exename);
  info.displayname = ReadShort(data.config.displayname);
  info.basefolder = data.basefolder;
  info.programgroup = ReadWide(data.config.programgroup);
  info.appdatafolder = ReadShort(data.config.appdatafolder);
  WindowsUninstallSystem system(nullptr, true);
  SilentUninstall watcher;
  UninstallRun run(info, system, watcher);
  run.SetLog(log);
  if (!run.Run()) return Outcome::kFailed;
  log("uninstall complete");
  return Outcome::kDone;
}

}  // namespace

int RunSession(HINSTANCE instance) {
  const std::u16string commandline = FromWide(GetCommandLineW());
  const SetupOptions options = ParseCommandLine(commandline);

  // the log's folder is made when it alone is missing, as a deployment tool expects; a file that
  // is not ours, or reached through a link, is never written
  std::unique_ptr<FileLogSink> logfile;
  std::u16string nologwhy;
  if (!options.logfile.empty()) logfile = FileLogSink::Create(options.logfile, nologwhy);
  // whoever asked for a log and would get none is told so, by the exit code in every mode and
  // by an Error box in the wizard, before anything is done
  const bool nolog = !options.logfile.empty() && !logfile;
  const Log log(logfile.get());
  ExitStatus status;

  log("Kestrel setup ", KESTREL_VERSION);
  log("command line: ", WithoutPassword(commandline));
  log("mode: ", options.uninstallmode ? "uninstall" : "install", ", ", UiName(options.ui));
  for (const std::u16string& a : options.ignored) log("argument ignored: ", a);
  for (const std::u16string& p : options.problems) log("bad switch: ", p);

  auto finish = [&](Outcome outcome) {
    status.Set(outcome);
    log("outcome: ", OutcomeName(outcome), ", exit code ", status.code());
    return status.code();
  };

  if (options.unattended() && (nolog || !options.problems.empty())) {
    return finish(Outcome::kBadCommandLine);
  }

  const bool silent = options.ui == UiLevel::kSilent;
  auto& app = ui::Application::Get();
  // a silent run makes no window at all, not even the hidden one
  if (!silent && !app.Initialize(instance, u"Kestrel")) return finish(Outcome::kFailed);
  if (nolog) {
    ui::ErrorBox(app.handle(), u"The log file \"" + options.logfile + u"\" cannot be written: " +
                                   nologwhy + u". Nothing was changed.");
    return finish(Outcome::kBadCommandLine);
  }

  // held until the process ends
  win::Event running(CreateMutexW(nullptr, FALSE, kRunningMutex));
  const DWORD mutexerror = GetLastError();
  // a mutex made in another user's session may refuse us access: it exists all the same
  const bool taken =
      running ? mutexerror == ERROR_ALREADY_EXISTS : mutexerror == ERROR_ACCESS_DENIED;
  if (taken) {
    const std::u16string text = Tr(TextId::already_running);
    log("error: ", text);
    if (options.ui == UiLevel::kFull) ui::ErrorBox(app.handle(), text);
    return finish(Outcome::kAlreadyRunning);
  }

  SetupData data;
  data.uninstallmode = options.uninstallmode;
  const std::optional<std::u16string> fatal =
      data.uninstallmode ? LoadUninstallMode(data, options.exename) : LoadInstallMode(data);
  // the package's language speaks from here on, its own problems included
  ChooseLanguage(data, options, log);
  if (fatal) {
    log("error: ", *fatal);
    if (options.ui == UiLevel::kFull) ui::ErrorBox(app.handle(), *fatal);
    if (g_setupfile) g_setupfile->Close();
    return finish(Outcome::kFailed);
  }
  // An unattended install goes only into a folder the uninstall may remove again: /D= or the
  // package's own folder, judged before anything is written. The folder recorded is the one
  // judged, as the system spells it.
  std::u16string destination;
  if (!data.uninstallmode && options.unattended()) {
    const FolderDecision judged = DecideDestinationHere(
        options.destination ? *options.destination : DefaultDestination(data));
    if (judged.kept()) {
      const std::u16string why = RefusedDestinationMessage(judged);
      if (g_setupfile) g_setupfile->Close();
      if (options.destination) {
        log("bad switch: /D=", MaskPasswords(why));
        return finish(Outcome::kBadCommandLine);
      }
      log("error: ", MaskPasswords(why));
      return finish(Outcome::kFailed);
    }
    destination = judged.path;
  }
  if (!data.uninstallmode && data.needpassword && options.unattended()) {
    if (auto problem = UnlockUnattended(data, options)) {
      log("error: ", MaskPasswords(*problem));
      if (g_setupfile) g_setupfile->Close();
      return finish(Outcome::kFailed);
    }
    log("password accepted");
  }
  if (!silent) {
    SetWindowTextW(app.handle(), Wide(Texts::Current().brand()));
    ui::SetRightToLeft(Texts::Current().rtl());
  }
  // the uninstaller knows no version: the registry records none
  const std::string version = ReadShort(data.config.version);
  log("product: ", Ansi{ReadShort(data.config.displayname)}, version.empty() ? "" : " ",
      Ansi{version});

  if (silent) {
    return finish(data.uninstallmode ? RunSilentUninstall(data, log)
                                     : RunSilentInstall(data, destination, log));
  }

  WizardOptions wizardoptions;
  wizardoptions.ui = options.ui;
  wizardoptions.destination = options.destination;
  if (!destination.empty()) wizardoptions.destination = destination;  // passive: judged already
  int code = 0;
  {
    Triform wizard(data, wizardoptions, status, log);
    app.SetMainForm(&wizard);
    wizard.Create(app.handle());
    Tdir dir;
    dir.Create(wizard.handle());
    wizard.ShowWizard();
    app.Run();
    code = finish(status.outcome());
    // a worker still busy when the wizard goes ends the process with this code
    app.SetExitCode(code);
  }
  return code;
}

}  // namespace kestrel
