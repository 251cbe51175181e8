#include "installengine/installrun.h"

#include <algorithm>

#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"

namespace kestrel {

std::string RunningWindowPattern(const ConfigRecord& config) {
  return TrimBlanks(ReadShort(config.displayname)) + " (*";
}

bool CopyProgramPart(PackageFile& program, PackageFile& out, std::int64_t length,
                     std::uint8_t* buffer) {
  for (;;) {
    const std::int64_t position = program.Position();
    if (position >= length) return position == length;
    std::uint32_t n = static_cast<std::uint32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kMaxChunk), length - position));
    // a read that yields nothing would otherwise repeat for ever
    if (program.Read(buffer, n) == 0) return false;
    if (!out.Write(buffer, n)) return false;
  }
}

InstallRun::InstallRun(const ConfigRecord& config, FileSystem& fs, InstallSystem& sys)
    : config_(config), fs_(fs), sys_(sys), reader_(fs) {
  reader_.showprogress = [this](std::int32_t percent) { sys_.ShowProgress(percent); };
}

bool InstallRun::OpenPackage(const std::u16string& programpath, std::int64_t packageend) {
  reader_.programpath = programpath;
  reader_.packageoffset = config_.packageoffset;
  reader_.packageend = packageend;
  reader_.config = &config_;
  return reader_.OpenPackage();
}

void InstallRun::SetProgress(std::int32_t percent) {
  reader_.progress = percent;
  sys_.ShowProgress(percent);
}

RegistrationInput InstallRun::Registration() {
  return RegistrationInput{config_, destfolder, sys_.DesktopFolder(), sys_.WindowsFolder()};
}

void InstallRun::CloseRunningProduct() {
  if (sys_.CloseRunningWindow(RunningWindowPattern(config_))) sys_.Pause(kPauseAfterClose);
}

void InstallRun::RemoveEarlierServices() {
  if (!sys_.UseWideApi()) return;
  const std::string exe = ReadShort(config_.exename);
  if (sys_.ReadMachineString(AppPathsKey(exe), "Displayname").empty()) return;
  for (const ServiceEntry& s : ConfiguredServices(config_, destfolder)) {
    sys_.SafePoint();
    if (sys_.Cancelled()) return;
    if (sys_.ServiceRunning(s.name)) sys_.ServiceStop(s.name);
    sys_.ServiceDelete(s.name);
    sys_.Pause(kPauseAfterServiceRemoved);
  }
}

// False when the loop ended early: a failed file, a cancel or a read failure's stop request.
bool InstallRun::ExtractAll() {
  for (std::size_t i = 0; i < reader_.records.size(); ++i) {
    sys_.SafePoint();
    if (sys_.Cancelled() || reader_.TerminationRequested()) return false;
    if (!reader_.ExtractFile(i)) {
      failed_ = true;
      return false;
    }
  }
  return true;
}

void InstallRun::WriteUninstallerCopy() {
  PackageFile* program = reader_.package();
  std::uint8_t* buffer = reader_.transfer_buffer();
  if (program && program->IsOpen() && buffer && program->Seek(0)) {
    const std::u16string path =
        AddTrailingBackslash(sys_.WindowsFolder()) + std::u16string(kUninstallerName);
    auto stubcopy = fs_.NewFile();
    const bool created = stubcopy->CreateWrite(path);
    const bool complete =
        created && CopyProgramPart(*program, *stubcopy, config_.packageoffset, buffer);
    stubcopy->Close();
    // a cut-off program would only fail when the user tries to uninstall
    if (created && !complete) fs_.RemoveFile(path);
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
  } else if (reader_.header.encrypted == 1) {
    failed_ = true;
    reader_.statustext = kStatusEncrypted;
  }

  if (!failed_) {
    auto stop = [this] {
      sys_.SafePoint();
      return sys_.Cancelled();
    };
    // 2, 3
    CloseRunningProduct();
    if (stop()) return;
    RemoveEarlierServices();

    // 4, 5
    ExtractAll();
    if (sys_.Cancelled()) return;
    if (reader_.TerminationRequested()) {
      sys_.InstallStopped(reader_.statustext);
      return;
    }

    // 6: a failed file skips everything up to the report
    if (!failed_) {
      // 7
      sys_.Pause(kPauseBeforeFilesDone);
      if (stop()) return;
      SetProgress(90);
      // 8
      if (stop()) return;
      WriteUninstallerCopy();
      SetProgress(95);

      const RegistrationInput in = Registration();
      // 9, 10
      if (stop()) return;
      sys_.WriteRegistryRows(AppPathsRows(in));
      if (stop()) return;
      sys_.WriteRegistryRows(AssociationRows(in));
      // 11
      if (sys_.UseWideApi()) {
        for (const ServiceEntry& s : ConfiguredServices(config_, destfolder)) {
          if (stop()) return;
          if (sys_.ServiceCreate(s.name, s.programpath)) sys_.ServiceStart(s.name);
          sys_.WriteRegistryRows(ServiceRows(in, s));
        }
      }
      // 12
      if (stop()) return;
      sys_.WriteRegistryRows(UninstallRows(in));

      // 13
      if (stop()) return;
      sys_.CreateShortcuts(
          PlanShortcuts(ShortcutInput{config_, destfolder, sys_.ProgramsFolder(),
                                      sys_.StartMenuFolder(), in.windowsfolder, in.desktopfolder}));
      // 14
      sys_.Pause(kPauseBeforeAllDone);
      if (stop()) return;
      SetProgress(100);
      sys_.Pause(kPauseAfterAllDone);
    }
  }
  // 15
  sys_.SafePoint();
  if (sys_.Cancelled()) return;
  sys_.InstallDone(failed_, reader_.statustext);
}

}  // namespace kestrel
