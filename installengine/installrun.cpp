#include "installengine/installrun.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/pathrules.h"
#include "sysutil/texts.h"

namespace kestrel {

std::u16string ShownStatus(std::u16string_view status) {
  static constexpr std::pair<std::u16string_view, TextId> kFixed[] = {
      {kStatusNoFolder, TextId::status_no_folder},
      {kStatusFileExists, TextId::status_file_exists},
      {kStatusSeekFailed, TextId::status_seek_failed},
      {kStatusCorrupt, TextId::status_corrupt},
      {kStatusReadFailed, TextId::status_read_failed},
      {kStatusWriteFailed, TextId::status_write_failed},
      {kStatusNoKey, TextId::status_no_key},
      {kStatusNotOpened, TextId::status_not_opened},
      {kStatusNoPackage, TextId::status_no_package},
      {kStatusEncrypted, TextId::status_encrypted},
  };
  for (const auto& [text, id] : kFixed) {
    if (status == text) return Tr(id);
  }
  // "Prefix(" + a path + ")"
  static constexpr std::pair<std::u16string_view, TextId> kWithPath[] = {
      {kStatusCannotCreatePrefix, TextId::status_cannot_create},
      {kStatusUnsafePathPrefix, TextId::status_unsafe_path},
  };
  for (const auto& [prefix, id] : kWithPath) {
    if (status.starts_with(prefix) && status.ends_with(u")")) {
      const std::u16string_view path =
          status.substr(prefix.size(), status.size() - prefix.size() - 1);
      return Tr(id, {{u"path", path}});
    }
  }
  return std::u16string(status);
}

std::string RowText(const RegistryRow& r) {
  static constexpr const char* kRoots[] = {"HKLM", "HKCU", "HKCR"};
  std::string text = kRoots[static_cast<int>(r.root)];
  text += "\\" + r.key + " [" + (r.name.empty() ? std::string("(default)") : r.name) + "] = ";
  text += r.type == RegType::kDword ? std::to_string(r.dword) : r.value;
  return Utf16ToUtf8(FromCodePage(text));
}

std::string RunningWindowPattern(const ConfigRecord& config) {
  return TrimBlanks(ReadShort(config.displayname)) + " (*";
}

bool CopyProgramPart(PackageFile& program, PackageFile& out, std::int64_t length,
                     std::uint8_t* buffer, const UninstallerPatch& patch) {
  for (;;) {
    const std::int64_t position = program.Position();
    if (position >= length) return position == length;
    std::uint32_t n = static_cast<std::uint32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kMaxChunk), length - position));
    // a read that yields nothing would otherwise repeat for ever
    if (program.Read(buffer, n) == 0) return false;
    ApplyUninstallerPatch(patch, position, buffer, n);
    if (!out.Write(buffer, n)) return false;
  }
}

InstallRun::InstallRun(const ConfigRecord& config, FileSystem& fs, InstallSystem& sys,
                       InstallObserver& observer)
    : config_(config), fs_(fs), sys_(sys), obs_(observer), reader_(fs) {
  reader_.showprogress = [this](std::int32_t percent) { obs_.ShowProgress(percent); };
}

bool InstallRun::OpenPackage(const std::u16string& programpath, std::int64_t packageend,
                             PackageFile* checked) {
  reader_.programpath = programpath;
  reader_.checkedfile = checked;
  reader_.packageoffset = config_.packageoffset;
  reader_.packageend = packageend;
  reader_.config = &config_;
  return reader_.OpenPackage();
}

void InstallRun::SetProgress(std::int32_t percent) {
  reader_.progress = percent;
  obs_.ShowProgress(percent);
}

RegistrationInput InstallRun::Registration() {
  RegistrationInput in{config_, destfolder, sys_.DesktopFolder(), sys_.WindowsFolder()};
  in.installedbytes = reader_.records.InstalledBytes();
  in.installdate = sys_.InstallDate();
  return in;
}

void InstallRun::CloseRunningProduct() {
  if (sys_.CloseRunningWindow(RunningWindowPattern(config_))) {
    log_("running product asked to close: ", Ansi{RunningWindowPattern(config_)});
    obs_.Pause(kPauseAfterClose);
  }
}

void InstallRun::WriteRows(const std::vector<RegistryRow>& rows) {
  if (log_.on()) {
    for (const RegistryRow& r : rows) log_("registry value written: ", RowText(r));
  }
  sys_.WriteRegistryRows(rows);
}

// A name in the package may be that of a service that was on the machine before the product, or
// another product's: only a service whose program lies in the destination folder, or in the
// folder the earlier installation recorded (an upgrade into another folder), is removed.
void InstallRun::RemoveEarlierServices() {
  if (!sys_.UseWideApi()) return;
  const std::string exe = ReadShort(config_.exename);
  if (sys_.ReadMachineString(AppPathsKey(exe), "Displayname").empty()) return;
  std::optional<std::u16string> earlier;  // the earlier "Path", read once it is needed
  for (const ServiceEntry& s : ConfiguredServices(config_, destfolder)) {
    obs_.SafePoint();
    if (obs_.Cancelled()) return;
    const std::u16string command = sys_.ServiceProgram(s.name);
    if (command.empty()) {
      const std::u16string why = sys_.LastErrorText();
      log_("earlier service not removed: ", Ansi{s.name}, " (its configuration could not be read",
           why.empty() ? std::u16string() : u": " + why, ")");
      continue;
    }
    bool ours = ProgramInFolder(command, destfolder);
    if (!ours) {
      if (!earlier) {
        // a damaged value must be a plain full path to stand for a folder at all
        earlier = StripTrailingBackslash(
            DecodeLetterHex(sys_.ReadMachineString(AppPathsKey(exe), "Path")));
        if (CheckPlainPath(*earlier) != PathFault::kNone) earlier->clear();
      }
      ours = ProgramInFolder(command, *earlier);
    }
    if (!ours) {
      log_("earlier service kept: ", Ansi{s.name}, " (its program ", ShownProgram(command),
           " is not in the installation folder)");
      continue;
    }
    if (sys_.ServiceRunning(s.name)) {
      const bool stopped = sys_.ServiceStop(s.name);
      log_("service stopped: ", Ansi{s.name}, stopped ? "" : " (failed)");
    }
    const bool deleted = sys_.ServiceDelete(s.name);
    log_("earlier service deleted: ", Ansi{s.name}, deleted ? "" : " (failed or not there)");
    obs_.Pause(kPauseAfterServiceRemoved);
  }
}

// False when the loop ended early: a failed file, a cancel or a read failure's stop request.
bool InstallRun::ExtractAll() {
  for (std::size_t i = 0; i < reader_.records.size(); ++i) {
    obs_.SafePoint();
    if (obs_.Cancelled() || reader_.TerminationRequested()) return false;
    if (!reader_.ExtractFile(i)) {
      failed_ = true;
      if (log_.on()) {
        const std::u16string why = sys_.LastErrorText();
        log_("file failed: ", reader_.statustext, why.empty() ? u"" : u" (system: " + why + u")");
      }
      return false;
    }
    if (log_.on()) {
      log_("file written: ", reader_.lastpath, " (", reader_.records[i].filesize, " bytes)");
    }
  }
  return true;
}

void InstallRun::WriteUninstallerCopy() {
  PackageFile* program = reader_.package();
  std::uint8_t* buffer = reader_.transfer_buffer();
  // a signed package gets its stub's signature back; a file signed after packing loses the
  // entry that would point past the copy's end
  const UninstallerPatch patch =
      program && program->IsOpen() ? PlanUninstallerPatch(*program, config_) : UninstallerPatch{};
  if (program && program->IsOpen() && buffer && program->Seek(0)) {
    const std::u16string path =
        AddTrailingBackslash(sys_.WindowsFolder()) + std::u16string(kUninstallerName);
    // Every installed product shares the copy: it is written beside and put in place whole, so
    // a copy cut off half-way (a full disk) leaves the one already there working.
    const std::u16string part = path + u".partial";
    auto stubcopy = fs_.NewFile();
    const bool created = stubcopy->CreateWrite(part);
    const bool complete =
        created && CopyProgramPart(*program, *stubcopy, config_.packageoffset, buffer, patch);
    stubcopy->Close();
    const bool placed = complete && fs_.MoveReplacing(part, path);
    if (created && !placed) fs_.RemoveFile(part);
    log_(placed ? "uninstaller written: " : "uninstaller could not be written: ", path);
  }
  if (program) program->Close();
}

void InstallRun::RunInstall() {
  // 1
  reader_.overwrite = true;
  reader_.destfolder = destfolder;
  failed_ = false;
  // Nothing is touched on the system for a package that cannot be installed.
  if (!reader_.opened()) {
    failed_ = true;
    reader_.statustext = kStatusNoPackage;
  } else if (reader_.header.encrypted == 1 && !reader_.keyed()) {
    failed_ = true;
    reader_.statustext = kStatusEncrypted;
  }

  if (!failed_) {
    auto stop = [this] {
      obs_.SafePoint();
      return obs_.Cancelled();
    };
    // 2, 3
    CloseRunningProduct();
    if (stop()) return;
    RemoveEarlierServices();

    // 4, 5
    ExtractAll();
    if (obs_.Cancelled()) return;
    if (reader_.TerminationRequested()) {
      log_("installation stopped: ", reader_.statustext);
      obs_.InstallStopped(reader_.statustext);
      return;
    }

    // 6: a failed file skips everything up to the report
    if (!failed_) {
      // 7
      if (cosmetic_pauses_) obs_.Pause(kPauseBeforeFilesDone);
      if (stop()) return;
      SetProgress(90);
      // 8
      if (stop()) return;
      WriteUninstallerCopy();
      SetProgress(95);

      const RegistrationInput in = Registration();
      // 9, 10
      if (stop()) return;
      WriteRows(AppPathsRows(in));
      if (stop()) return;
      WriteRows(AssociationRows(in));
      // 11
      if (sys_.UseWideApi()) {
        for (const ServiceEntry& s : ConfiguredServices(config_, destfolder)) {
          if (stop()) return;
          if (sys_.ServiceCreate(s.name, s.programpath)) {
            log_("service created: ", Ansi{s.name}, " ", s.programpath);
            const bool started = sys_.ServiceStart(s.name);
            log_("service ", started ? "started: " : "could not be started: ", Ansi{s.name});
          } else {
            log_("service could not be created: ", Ansi{s.name});
          }
          WriteRows(ServiceRows(in, s));
        }
      }
      // 12
      if (stop()) return;
      WriteRows(UninstallRows(in));

      // 13
      if (stop()) return;
      const ShortcutPlan links =
          PlanShortcuts(ShortcutInput{config_, destfolder, sys_.ProgramsFolder(),
                                      sys_.StartMenuFolder(), in.windowsfolder, in.desktopfolder});
      if (log_.on()) {
        for (const ShortcutRow& r : links.grouprows) log_("shortcut: ", r.linkfile);
        log_("shortcut: ", links.desktop.linkfile);
      }
      sys_.CreateShortcuts(links);
      // 14
      if (cosmetic_pauses_) obs_.Pause(kPauseBeforeAllDone);
      if (stop()) return;
      SetProgress(100);
      if (cosmetic_pauses_) obs_.Pause(kPauseAfterAllDone);
    }
  }
  // 15
  obs_.SafePoint();
  if (obs_.Cancelled()) return;
  if (failed_) log_("installation failed: ", reader_.statustext);
  obs_.InstallDone(failed_, reader_.statustext);
}

}  // namespace kestrel
