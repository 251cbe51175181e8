#include "setup/session_win32.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "decode/password.h"
#include "decode/sha256.h"
#include "installengine/installrecord.h"
#include "installengine/installrun.h"
#include "installengine/installsystem_win32.h"
#include "installengine/registration.h"
#include "package/extension.h"
#include "package/identity.h"
#include "package/integrity.h"
#include "package/pkgfile_win32.h"
#include "package/protection.h"
#include "package/scope.h"
#include "package/startload.h"
#include "setup/options.h"
#include "setup/selfcopy_win32.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/elevate_win32.h"
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
// carries; its texts and the vendor's brand become the run's. An uninstall speaks the language
// its installation spoke unless /LANG= says otherwise.
void ChooseLanguage(SetupData& data, const SetupOptions& options, const Log& log) {
  if (g_localeload == LocaleLoad::kDamaged) log("the package's languages and names are damaged");
  std::string requested = Utf16ToUtf8(options.language);
  if (requested.empty() && data.uninstallmode && !data.locale.languages.empty()) {
    requested = data.locale.languages[0].language;
  }
  const TextTable* table =
      SelectLanguage(data.locale.languages, GetUserDefaultUILanguage(), requested);
  Texts& texts = Texts::Current();
  if (table) texts.Apply(*table);
  texts.SetBrand(data.locale.brand);
  log("language: ", texts.language());
  // the uninstaller of this installation will speak and look as it did: the brand, the table's
  // length and bytes, the picture
  const std::vector<std::uint8_t>& picture = data.locale.picture;
  if (!data.uninstallmode && (table || !data.locale.brand.empty() || !picture.empty())) {
    const std::u16string& brand = data.locale.brand;
    const std::size_t n = table ? table->encoded.size() : 0;
    const char sizes[6] = {static_cast<char>(brand.size()),
                           static_cast<char>(brand.size() >> 8),
                           static_cast<char>(n),
                           static_cast<char>(n >> 8),
                           static_cast<char>(n >> 16),
                           static_cast<char>(n >> 24)};
    std::string& look = data.language;
    look.assign(sizes, 2);
    look.append(reinterpret_cast<const char*>(brand.data()), brand.size() * 2);
    look.append(sizes + 2, 4);
    if (table) look += table->encoded;
    look.append(picture.begin(), picture.end());
  }
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
    case Outcome::kDowngrade:
      return "a newer version is installed";
    case Outcome::kRestartNeeded:
      return "success, a restart completes it";
  }
  return "failed";
}

// Install mode: the record and the licence from the program's own file. The message of a
// fatal condition, or nothing.
std::optional<std::u16string> LoadInstallMode(SetupData& data) {
  const std::u16string path = ProgramPath();
  g_setupfile = SystemFileSystem().NewFile();
  if (!g_setupfile->OpenRead(path)) return Tr(TextId::setup_not_found, {{u"path", path}});
  data.setupfile = g_setupfile.get();
  data.basefolder = ProgramFilesFolder();
  switch (LoadStartupPackage(*g_setupfile, data.config, data.licensetext)) {
    case StartupLoad::kOk:
      break;
    case StartupLoad::kUnreadable:
      return Tr(TextId::setup_unreadable);
    case StartupLoad::kNoPackage:
      return Tr(TextId::setup_no_files);
    case StartupLoad::kDamaged:
      return Tr(TextId::setup_damaged);
  }
  // a package whose checksum held but whose locale does not read speaks English with its 8-bit
  // names; the log says so
  g_localeload = ReadLocale(*g_setupfile, data.config, data.locale);
  if (g_localeload == LocaleLoad::kDamaged) {
    data.locale.names = ProductNames{};
    data.locale.brand.clear();
    data.locale.languages.clear();
    data.locale.picture.clear();
  }
  data.names = ResolveNames(data.config, data.locale.names);
  switch (ReadPackageProtection(*g_setupfile, data.config, data.header)) {
    case PackageProtection::kPassword:
      data.needpassword = true;
      break;
    case PackageProtection::kRawKey:
      return Tr(TextId::status_encrypted);
    case PackageProtection::kTooCostly:
      return Tr(TextId::too_many_iterations);
    case PackageProtection::kPlain:
    case PackageProtection::kUnreadable:  // the engine reports it when it opens the package
      break;
  }
  return std::nullopt;  // setupfile stays open until the program ends
}

// Uninstall mode for a product with an identity: its Uninstall key names its record and folder.
std::optional<std::u16string> LoadProduct(SetupData& data, const std::string& identity) {
  if (!IsValidProductId(identity)) return Tr(TextId::no_uninstall_info);
  const std::string key = UninstallKey(identity);
  const bool machine = data.root == RegRoot::kLocalMachine;
  const HKEY root = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const REGSAM view = machine ? MachineKeyView(key) : 0;
  const std::u16string shown = ReadWideValue(root, key, "DisplayName", view);
  std::string displayname = ToCodePage(shown);
  data.recordpath = ReadWideValue(root, key, kRecordValue, view);
  data.basefolder = ReadWideValue(root, key, "InstallLocation", view);
  if (displayname.empty() && data.recordpath.empty()) return Tr(TextId::no_uninstall_info);
  if (displayname.size() > 255) displayname.resize(255);
  WriteShort(data.config.displayname, displayname);
  // the window's title and texts name the product as its entry does, in any script
  data.names.displayname = shown;
  data.identity = identity;
  // the language, brand and picture its installation showed; a table that does not read speaks
  // English, a picture that does not read leaves the program's own
  const std::string look = RecordedLanguage(SystemFileSystem(), data.recordpath, identity);
  const auto* p = reinterpret_cast<const std::uint8_t*>(look.data());
  const std::size_t size = look.size();
  const std::size_t units = size < 2 ? 0 : p[0] | p[1] << 8;
  const std::size_t at = 2 + units * 2;
  if (size >= at + 4) {
    data.locale.brand.resize(units);
    std::memcpy(data.locale.brand.data(), p + 2, units * 2);
    const std::size_t n = LoadLe32(p + at);
    if (n <= size - at - 4) {
      if (std::optional<TextTable> table = DecodeTextTable({p + at + 4, n})) {
        data.locale.languages.push_back(std::move(*table));
      }
      data.locale.picture.assign(p + at + 4 + n, p + size);
    }
  }
  return std::nullopt;
}

// The name of the Uninstall key of an earlier version's entry for `exename`: its
// UninstallString ends with "-ui" and that name. Empty when there is none.
std::string LegacyEntryOf(const std::string& exename) {
  std::string parent = UninstallKey("");
  parent.pop_back();  // without its final backslash
  win::RegKey key;
  if (exename.empty() ||
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_READ | MachineKeyView(parent),
                    key.out()) != ERROR_SUCCESS) {
    return {};
  }
  std::string tail = " -ui " + exename;
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD len = sizeof name;
    if (RegEnumKeyExA(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return {};
    }
    std::string command =
        ReadMachineString(parent + "\\" + std::string(name, len), "UninstallString", "");
    for (char& c : command) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (command.size() >= tail.size() &&
        command.compare(command.size() - tail.size(), tail.size(), tail) == 0 &&
        command.find("kestrelui.exe") != std::string::npos) {
      return std::string(name, len);
    }
  }
}

// Uninstall mode: the few record fields the installation left in its App Paths key.
std::optional<std::u16string> LoadUninstallMode(SetupData& data, const SetupOptions& options) {
  ConfigRecord& config = data.config;
  std::string exename = ToCodePage(options.exename);
  if (exename.size() > 255) exename.resize(255);
  WriteShort(config.exename, exename);

  const std::string key = AppPathsKey(exename);
  // an installation for one user is named so by its uninstall command; it has an identity
  if (options.scope == InstallScope::kUser) {
    data.root = RegRoot::kCurrentUser;
    return LoadProduct(data, options.product ? ToCodePage(*options.product)
                                             : ToCodePage(ReadWideValue(HKEY_CURRENT_USER, key,
                                                                        kProductValue, 0)));
  }
  // "-ui" and a program an installation with an identity registered: that product
  const std::string identity =
      options.product ? ToCodePage(*options.product) : ReadMachineString(key, kProductValue, "");
  if (!identity.empty()) return LoadProduct(data, identity);
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
    // App Paths gone: the entry that runs "-ui" with this program can still be removed, with
    // nothing but its own key, so no entry is ever stuck
    const std::string entry = LegacyEntryOf(exename);
    if (entry.empty()) return Tr(TextId::no_uninstall_info);
    return LoadProduct(data, entry);
  }
  return std::nullopt;
}

// The folder an installed copy of this product is in, where an upgrade goes; empty if none.
std::u16string InstalledFolder(const SetupData& data) {
  const std::string key = UninstallKey(ProductIdentity(data.config));
  return ReadWideValue(RootHandle(data.root), key, "InstallLocation", KeyView(data.root, key));
}

// The destination page's first text: the installed copy's folder, or Program Files joined with
// the package's folder, in UTF-16 so a folder named in any script is installed into as named.
std::u16string DefaultDestination(const SetupData& data) {
  if (std::u16string installed = InstalledFolder(data); !installed.empty()) return installed;
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

Outcome RunSilentInstall(const SetupData& data, const std::u16string& destination,
                         const SetupOptions& options, const Log& log) {
  WindowsInstallSystem system;
  SilentInstall watcher;
  InstallRun run(data.config, SystemFileSystem(), system, watcher);
  run.SetLog(log);
  run.SkipCosmeticPauses();
  run.allowdowngrade = options.allowdowngrade;
  run.closeapplications = options.closeapplications;
  run.restartapplications = !options.norestartapplications;
  if (data.haskey) run.reader().SetKey(data.key);
  if (!run.OpenPackage(ProgramPath(), data.config.licenseoffset, data.setupfile)) {
    log("the package's directory could not be read");
  }
  run.root = data.root;
  run.names = &data.names;
  run.language = data.language;
  run.destfolder = destination;
  log("destination: ", MaskPasswords(run.destfolder));
  run.RunInstall();
  if (watcher.done && !watcher.failed) {
    log("installation complete");
    return run.restart() ? Outcome::kRestartNeeded : Outcome::kDone;
  }
  return run.downgrade() ? Outcome::kDowngrade : Outcome::kFailed;
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

Outcome RunSilentUninstall(const UninstallInfo& info, const Log& log) {
  WindowsUninstallSystem system;
  SilentUninstall watcher;
  UninstallRun run(info, system, watcher);
  run.SetLog(log);
  if (!run.Run()) return Outcome::kFailed;
  log("uninstall complete");
  return run.restart() ? Outcome::kRestartNeeded : Outcome::kDone;
}

int RunSessionIn(HINSTANCE instance, const std::u16string& commandline, const SetupOptions& options,
                 FirstProcessLink& firstprocess) {
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
  // the elevated second start runs while the setup that started it holds the lock and waits
  const bool taken = !options.elevated && (running ? mutexerror == ERROR_ALREADY_EXISTS
                                                   : mutexerror == ERROR_ACCESS_DENIED);
  if (taken) {
    const std::u16string text = Tr(TextId::already_running);
    log("error: ", text);
    if (options.ui == UiLevel::kFull) ui::ErrorBox(app.handle(), text);
    return finish(Outcome::kAlreadyRunning);
  }

  SetupData data;
  data.uninstallmode = options.uninstallmode;
  if (data.uninstallmode && options.product) {
    // an installation of this product that was killed half-way is undone before it is removed
    WindowsInstallSystem system;
    const std::string identity = ToCodePage(*options.product);
    // an installation for one user keeps its journal in that user's hive (its command says so)
    const RegRoot root =
        options.scope == InstallScope::kUser ? RegRoot::kCurrentUser : RegRoot::kLocalMachine;
    if (RecoverTransaction(SystemFileSystem(), system, root, identity, log) != Recovery::kNone) {
      log("an interrupted installation of ", Ansi{identity}, " was finished first");
    }
  }
  const std::optional<std::u16string> fatal =
      data.uninstallmode ? LoadUninstallMode(data, options) : LoadInstallMode(data);
  // the package's language speaks from here on, its own problems included
  ChooseLanguage(data, options, log);
  if (fatal) {
    log("error: ", *fatal);
    if (options.ui == UiLevel::kFull) ui::ErrorBox(app.handle(), *fatal);
    if (g_setupfile) g_setupfile->Close();
    return finish(Outcome::kFailed);
  }
  WizardOptions wizardoptions;
  // the elevated start's command line (the wizard's choice page may ask for it too); a temporary
  // copy of the uninstaller names itself, so the elevated one can take its handles over
  wchar_t elevation[48];
  wsprintfW(elevation, L"/ALLUSERS /ELEVATED=%lu", GetCurrentProcessId());
  if (options.childof.empty()) elevation[19] = 0;  // "/ALLUSERS /ELEVATED"
  wizardoptions.elevatedparameters = ArgumentsWith(commandline, FromWide(elevation));
  bool elevate = false;
  if (!data.uninstallmode) {
    const InstallScope packagescope = PackageScope(data.config);
    const ScopeDecision scope = DecideScope(packagescope, options);
    if (scope.kind == ScopeDecision::kRefused) {
      log("error: ", scope.why);
      if (options.ui == UiLevel::kFull) ui::ErrorBox(app.handle(), scope.why);
      if (g_setupfile) g_setupfile->Close();
      return finish(Outcome::kBadCommandLine);
    }
    if (scope.kind == ScopeDecision::kUser) {
      data.root = RegRoot::kCurrentUser;
      data.basefolder = UserProgramsFolder();
      log("installs for: the current user, below ", data.basefolder);
    } else if (scope.kind == ScopeDecision::kAsk) {
      wizardoptions.askscope = true;
      wizardoptions.userbasefolder = UserProgramsFolder();
    } else {
      log("installs for: every user");
      // from a program that asked for no rights; the elevated start never asks again
      elevate =
          packagescope != InstallScope::kMachine && !RunningAsAdministrator() && !options.elevated;
    }
  }
  // the uninstaller knows no version: the registry records none
  const std::string version = ReadShort(data.config.version);
  log("product: ", Ansi{ReadShort(data.config.displayname)}, version.empty() ? "" : " ",
      Ansi{version});

  const UninstallInfo uninstall =
      data.uninstallmode ? UninstallInfoFrom(data, SystemFileSystem()) : UninstallInfo{};
  if (data.uninstallmode) {
    if (!uninstall.identity.empty()) log("product identity: ", Ansi{uninstall.identity});
    // an entry without a name of its own shows the name its record keeps
    if (ReadShort(data.config.displayname).empty())
      WriteShort(data.config.displayname, uninstall.displayname);
    if (data.names.displayname.empty())
      data.names.displayname = FromCodePage(ReadShort(data.config.displayname));
    elevate = NeedsElevation(uninstall, RunningAsAdministrator(), options.elevated);
  }
  if (elevate) {
    // for every user, from a program without the rights: the same run again, with them, before
    // anything is changed; it adds its lines to the same log, and its exit code is this one's
    log("setup starts again with administrator rights");
    if (g_setupfile) g_setupfile->Close();
    if (logfile) logfile->Suspend();
    const ElevatedRun run = RunElevated(wizardoptions.elevatedparameters, nullptr);
    if (logfile) logfile->Resume();
    if (!run.started) {
      log("setup could not start with administrator rights (error ", run.error, ")");
      if (data.uninstallmode) {
        const std::u16string why = NoRightsToUninstallMessage(ReadShort(data.config.displayname));
        log("error: ", why);
        if (options.ui == UiLevel::kFull) ui::ErrorBox(app.handle(), why);
      }
      return finish(NotElevated(run.error));
    }
    log("the elevated setup ended with exit code ", run.code);
    status.PassOn(run.code);
    return status.code();
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
  if (data.uninstallmode) {
    const InstallRecord& r = uninstall.record;
    if (uninstall.hasrecord && !r.uninstaller.empty() && firstprocess.attached()) {
      // the folders that held the uninstaller go after it, when empty
      std::vector<std::u16string> folders = r.folders;
      SortDeepestFirst(folders);
      firstprocess.NoteUninstaller(r.FullPath(r.uninstaller), std::move(folders));
    }
  }

  if (silent) {
    return finish(data.uninstallmode ? RunSilentUninstall(uninstall, log)
                                     : RunSilentInstall(data, destination, options, log));
  }

  wizardoptions.ui = options.ui;
  wizardoptions.elevated = options.elevated;
  wizardoptions.destination = options.destination;
  wizardoptions.allowdowngrade = options.allowdowngrade;
  wizardoptions.closeapplications = options.closeapplications;
  wizardoptions.restartapplications = !options.norestartapplications;
  if (!data.uninstallmode) wizardoptions.installedfolder = InstalledFolder(data);
  wizardoptions.uninstall = &uninstall;
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

}  // namespace

int RunSession(HINSTANCE instance) {
  const std::u16string commandline = FromWide(GetCommandLineW());
  const SetupOptions options = ParseCommandLine(commandline);
  // the product's own uninstaller runs from a temporary copy, so it can remove itself; nothing
  // is opened before, not even the log, which the copy writes
  if (options.uninstallmode && options.product && options.childof.empty() &&
      options.problems.empty()) {
    if (const std::optional<int> code = RunFromTemporaryCopy(commandline)) return *code;
  }
  FirstProcessLink firstprocess;
  if (!options.childof.empty()) firstprocess.Attach(options.childof, options.elevatedby);
  // the log and the running mutex are closed by now: the first process may end, and the next
  // setup may start, as soon as it has the code
  const int code = RunSessionIn(instance, commandline, options, firstprocess);
  // removed, files in use included (they go at the restart): the uninstaller goes too
  firstprocess.Finish(code, options.uninstallmode && (code == 0 || code == 3010));
  return code;
}

}  // namespace kestrel
