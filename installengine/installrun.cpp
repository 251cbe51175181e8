#include "installengine/installrun.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "package/identity.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/pathrules.h"
#include "sysutil/texts.h"

namespace kestrel {

std::u16string ShownStatus(std::u16string_view status) {
  static constexpr TextId kFixed[] = {
      TextId::status_no_folder,     TextId::status_file_exists,
      TextId::status_seek_failed,   TextId::status_corrupt,
      TextId::status_read_failed,   TextId::status_write_failed,
      TextId::status_no_key,        TextId::status_not_opened,
      TextId::status_no_package,    TextId::status_encrypted,
      TextId::status_no_record,     TextId::status_no_identity,
      TextId::status_unknown_codec, TextId::status_dictionary_too_large,
      TextId::status_no_memory,
  };
  for (const TextId id : kFixed) {
    if (status == StatusText{id}) return Tr(id);
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

namespace {

// Referenced by StubGeneration, so every build of the program carries it in its bytes.
extern const char kStubStamp[];
const char kStubStamp[] = "Kestrel uninstaller generation 0002";
constexpr std::size_t kStampDigits = 4;
constexpr std::size_t kStampPrefix = sizeof kStubStamp - 1 - kStampDigits;
static_assert(kStubGeneration == 2, "the stamp's digits must name kStubGeneration");

// The packer signed the stub this program part is: its copy verifies as signed.
bool StubIsSigned(const ConfigRecord& config) {
  const auto view = ExtensionView::Parse(std::span<const std::uint8_t>(config.reserved11628));
  const auto item = view ? view->Find(ConfigTag::kStubSignature) : std::nullopt;
  StubSignature stub;
  return item && DecodeStubSignature(*item, stub) && stub.size > 0;
}

}  // namespace

int StubGeneration(const std::uint8_t* bytes, std::size_t size) {
  const std::size_t whole = kStampPrefix + kStampDigits;
  for (std::size_t i = 0; i + whole <= size; ++i) {
    if (bytes[i] != static_cast<std::uint8_t>(kStubStamp[0]) ||
        std::memcmp(bytes + i, kStubStamp, kStampPrefix) != 0) {
      continue;
    }
    int generation = 0;
    for (std::size_t k = 0; k < kStampDigits; ++k) {
      const char c = static_cast<char>(bytes[i + kStampPrefix + k]);
      if (c < '0' || c > '9') return 1;
      generation = generation * 10 + (c - '0');
    }
    return generation;
  }
  return 1;
}

std::u16string OwnedByAnotherMessage(const std::string& exename, const std::string& owner) {
  return Tr(TextId::owned_by_another,
            {{u"program", FromCodePage(exename)}, {u"product", FromCodePage(owner)}});
}

std::string RowText(const RegistryRow& r) {
  static constexpr const char* kRoots[] = {"HKLM", "HKCU", "HKCR"};
  std::string text = kRoots[static_cast<int>(r.root)];
  text += "\\" + r.key + " [" + (r.name.empty() ? std::string("(default)") : r.name) + "] = ";
  std::string utf8 = Utf16ToUtf8(FromCodePage(text));
  if (r.type == RegType::kWideString) return utf8 + Utf16ToUtf8(r.wide);
  return utf8 +
         Utf16ToUtf8(FromCodePage(r.type == RegType::kDword ? std::to_string(r.dword) : r.value));
}

bool InstallRun::FolderNotes::CreateFolder(const std::u16string& p) {
  if (!fs_.CreateFolder(p)) return false;
  made.push_back(StripTrailingBackslash(p));
  return true;
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
    : config_(config), fs_(fs), sys_(sys), obs_(observer), notes_(fs), reader_(notes_) {
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
  in.installedbytes = written_;
  in.installdate = sys_.InstallDate();
  in.root = root;
  in.identity = identity_;
  if (names) in.displayname = names->displayname;
  const std::u16string folder = AddTrailingBackslash(destfolder);
  in.uninstaller = folder + UninstallerName(identity_);
  in.recordpath = folder + RecordName(identity_);
  return in;
}

// The main program's App Paths key names the product that registered it: another product's
// key is never taken over. Packages made before identities registered theirs with their display
// name only, which is then what tells them apart.
bool InstallRun::CheckOwnership() {
  identity_ = ProductIdentity(config_);
  if (identity_.empty()) {
    reader_.statustext = kStatusNoIdentity;
    return false;
  }
  const std::string exe = ReadShort(config_.exename);
  const std::string key = AppPathsKey(exe);
  // an installation for one user owns the App Paths key of that user only
  auto read = [&](const char* value) {
    return root == RegRoot::kLocalMachine ? sys_.ReadMachineString(key, value)
                                          : ToCodePage(sys_.ReadWideString(root, key, value));
  };
  const std::string name = read("Displayname");
  if (name.empty()) return true;  // not registered by any Kestrel product
  const std::string product = read(kProductValue);
  const bool same = product.empty() ? name == ReadShort(config_.displayname) : product == identity_;
  if (same) return true;
  reader_.statustext = OwnedByAnotherMessage(exe, name);
  return false;
}

// The same product's record, when its earlier installation was into the same folder: what that
// one made stays recorded as the product's.
void InstallRun::ReadEarlierRecord() {
  const std::u16string path = sys_.ReadWideString(root, UninstallKey(identity_), kRecordValue);
  if (path.empty()) return;
  haveearlier_ = LoadInstallRecord(fs_, path, identity_, earlier_);
  if (haveearlier_) {
    log_("earlier installation found: ", earlier_.installfolder);
  } else {
    log_("the earlier installation's record is missing, damaged or not this product's: ", path);
  }
}

void InstallRun::CloseRunningProduct() {
  if (sys_.CloseRunningWindow(RunningWindowPattern(config_))) {
    log_("running product asked to close: ", Ansi{RunningWindowPattern(config_)});
    obs_.Pause(kPauseAfterClose);
  }
}

void InstallRun::WriteRows(const std::vector<RegistryRow>& rows) {
  const std::vector<unsigned long> errors = sys_.WriteRegistryRows(rows);
  if (!log_.on()) return;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const unsigned long error = i < errors.size() ? errors[i] : 0;
    if (error == 0) {
      log_("registry value written: ", RowText(rows[i]));
    } else {
      log_("registry value could not be written: ", RowText(rows[i]), " (error ", error, ": ",
           sys_.ErrorText(error), ")");
    }
  }
}

// A name in the package may be that of a service that was on the machine before the product, or
// another product's: only a service whose program lies in the destination folder, or in the
// folder the earlier installation recorded (an upgrade into another folder), is removed.
void InstallRun::RemoveEarlierServices() {
  // services are the machine's: an installation for one user has none
  if (!sys_.UseWideApi() || root != RegRoot::kLocalMachine) return;
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
    const DirectoryRecord& r = reader_.records[i];
    RecordedFile f;
    f.path = ReadWide(r.subfolder) + u"\\" + ReadWide(r.filename);
    f.size = static_cast<std::uint64_t>(reader_.lastsize);
    if (const auto crc = FileContentCrc(r)) {
      f.crc = *crc;
      f.flags = kFileHasCrc;
    }
    written_ += f.size;
    record_.files.push_back(std::move(f));
    if (log_.on()) log_("file written: ", reader_.lastpath, " (", reader_.lastsize, " bytes)");
  }
  return true;
}

bool InstallRun::WriteWhole(const std::u16string& path, const std::uint8_t* bytes,
                            std::size_t size) {
  const std::u16string part = path + u".partial";
  auto out = fs_.NewFile();
  const bool created = out->CreateWrite(part);
  bool complete = created;
  for (std::size_t at = 0; complete && at < size; at += kMaxChunk) {
    const auto n = static_cast<std::uint32_t>(std::min(kMaxChunk, size - at));
    complete = out->Write(bytes + at, n);
  }
  out->Close();
  const bool placed = complete && fs_.MoveReplacing(part, path);
  if (created && !placed) fs_.RemoveFile(part);
  return placed;
}

// The program part of the setup file (its signature as the stub had it) written to `path`
// whole: beside it first, then moved into place, so a copy cut off half-way (a full disk)
// leaves the one there working.
bool InstallRun::WriteProgramCopy(const std::u16string& path) {
  PackageFile* program = reader_.package();
  std::uint8_t* buffer = reader_.transfer_buffer();
  if (!program || !program->IsOpen() || !buffer) return false;
  // a signed package gets its stub's signature back; a file signed after packing loses the
  // entry that would point past the copy's end
  const UninstallerPatch patch = PlanUninstallerPatch(*program, config_);
  if (!program->Seek(0)) return false;
  const std::u16string part = path + u".partial";
  auto stubcopy = fs_.NewFile();
  const bool created = stubcopy->CreateWrite(part);
  const bool complete =
      created && CopyProgramPart(*program, *stubcopy, config_.packageoffset, buffer, patch);
  stubcopy->Close();
  const bool placed = complete && fs_.MoveReplacing(part, path);
  if (created && !placed) fs_.RemoveFile(part);
  return placed;
}

// The product's own uninstaller, beside its files: only this product ever replaces it.
bool InstallRun::WriteUninstallerCopy() {
  const std::u16string name = UninstallerName(identity_);
  const std::u16string path = AddTrailingBackslash(destfolder) + name;
  const bool placed = WriteProgramCopy(path);
  log_(placed ? "uninstaller written: " : "uninstaller could not be written: ", path);
  if (placed) record_.uninstaller = u"\\" + name;
  return placed;
}

// Products installed by earlier versions name the shared copy in the Windows folder. It is
// brought up to this generation when it is older, and never replaced by an older one, nor a
// signed one by an unsigned one; a machine without it gets none.
void InstallRun::RefreshSharedUninstaller() {
  if (root != RegRoot::kLocalMachine) return;  // one user's setup touches no Windows folder
  const std::u16string path =
      AddTrailingBackslash(sys_.WindowsFolder()) + std::u16string(kUninstallerName);
  auto there = fs_.NewFile();
  if (!there->OpenRead(path)) return;
  constexpr std::int64_t kLargest = std::int64_t{4} << 20;
  const std::int64_t size = there->Size();
  if (size <= 0 || size > kLargest) return;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::uint32_t n = static_cast<std::uint32_t>(size);
  there->Read(bytes.data(), n);
  there->Close();
  PeSignatureFields fields;
  const bool theresigned = ParsePeSignatureFields(std::span(bytes.data(), n), fields) &&
                           fields.address != 0 && fields.size != 0;
  const int generation = StubGeneration(bytes.data(), n);
  if (generation >= kStubGeneration || (theresigned && !StubIsSigned(config_))) {
    log_("shared uninstaller kept: ", path, " (generation ", generation,
         theresigned ? ", signed)" : ")");
    return;
  }
  const bool placed = WriteProgramCopy(path);
  log_(placed ? "shared uninstaller brought up to date: " : "shared uninstaller not updated: ",
       path, " (generation ", generation, ")");
}

bool InstallRun::WriteRecord(const ShortcutPlan& links, const RegistrationInput& in,
                             bool associated) {
  InstallRecord& r = record_;
  r.root = root;
  r.identity = identity_;
  r.displayname = ReadShort(config_.displayname);
  r.exename = ReadShort(config_.exename);
  r.version = ReadShort(config_.version);
  r.installfolder = StripTrailingBackslash(destfolder);
  r.appdatafolder = ReadShort(config_.appdatafolder);
  r.programgroup = ReadWide(config_.programgroup);
  r.language = language;
  r.folders = std::move(notes_.made);
  // the group folder and the folders above it that are not there yet are made for the links
  // (the uninstall orders the folders deepest first itself)
  int depth = 0;
  for (std::u16string f = StripTrailingBackslash(links.groupfolder);
       !f.empty() && !FolderExists(fs_, f) && depth++ < 64;
       f = StripTrailingBackslash(FolderPart(f))) {
    r.folders.push_back(f);
  }
  for (const ShortcutRow& row : links.grouprows) r.shortcuts.push_back(row.linkfile);
  r.shortcuts.push_back(links.desktop.linkfile);
  r.keys.emplace_back(root, AppPathsKey(r.exename));
  r.keys.emplace_back(root, UninstallKey(identity_));
  for (const ServiceEntry& e : ConfiguredServices(config_, destfolder))
    r.services.push_back(e.name);
  if (associated) {
    r.assocext = ReadShort(config_.assocext);
    r.assocclass = AssociationClass(config_);
  }
  if (haveearlier_) InheritEarlierRecord(r, earlier_);
  const std::vector<std::uint8_t> bytes = EncodeInstallRecord(r);
  if (!WriteWhole(in.recordpath, bytes.data(), bytes.size())) {
    const std::u16string why = sys_.LastErrorText();
    log_("installation record could not be written: ", in.recordpath,
         why.empty() ? u"" : u" (" + why + u")");
    return false;
  }
  log_("installation record written: ", in.recordpath, " (", r.files.size(), " files, ",
       r.folders.size(), " folders)");
  return true;
}

// An earlier version of this product, registered by its display name, makes way for the entry
// named by the identity: one product, one entry.
void InstallRun::RetireLegacyEntry() {
  if (root != RegRoot::kLocalMachine) return;  // earlier versions installed for every user only
  const std::string name = ReadShort(config_.displayname);
  if (name == identity_ || !IsValidProductId(name)) return;
  const std::string key = UninstallKey(name);
  const std::string command = sys_.ReadMachineString(key, "UninstallString");
  const std::string tail = " -ui " + ReadShort(config_.exename);
  if (command.size() < tail.size() ||
      command.compare(command.size() - tail.size(), tail.size(), tail) != 0)
    return;
  if (sys_.RemoveKey(root, key)) log_("earlier entry replaced: ", Ansi{key});
}

void InstallRun::RunInstall() {
  // 1
  reader_.overwrite = true;
  reader_.destfolder = destfolder;
  failed_ = false;
  // Nothing is touched on the system for a package that cannot be installed, nor for one whose
  // main program another product has registered.
  if (!reader_.opened()) {
    failed_ = true;
    reader_.statustext = kStatusNoPackage;
  } else if (reader_.header.encrypted == 1 && !reader_.keyed()) {
    failed_ = true;
    reader_.statustext = kStatusEncrypted;
  } else if (!CheckOwnership()) {
    failed_ = true;
  }

  if (!failed_) {
    auto stop = [this] {
      obs_.SafePoint();
      return obs_.Cancelled();
    };
    log_("product identity: ", Ansi{identity_});
    ReadEarlierRecord();
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
      // 8: the product's own uninstaller, and its record, before anything names them
      if (stop()) return;
      WriteUninstallerCopy();
      RefreshSharedUninstaller();
      if (PackageFile* program = reader_.package()) program->Close();
      SetProgress(95);

      const RegistrationInput in = Registration();
      ShortcutInput shortcutin{
          config_,          destfolder,      sys_.ProgramsFolder(), sys_.StartMenuFolder(),
          in.windowsfolder, in.desktopfolder};
      shortcutin.uninstaller = in.uninstaller;
      shortcutin.names = names;
      shortcutin.uninstallarguments = UninstallArguments(in);
      const ShortcutPlan links = PlanShortcuts(shortcutin);
      const std::vector<RegistryRow> association = AssociationRows(in);
      if (!WriteRecord(links, in, !association.empty())) {
        failed_ = true;
        reader_.statustext = kStatusNoRecord;
      } else {
        // 9, 10
        if (stop()) return;
        WriteRows(AppPathsRows(in));
        if (stop()) return;
        WriteRows(association);
        // 11
        if (sys_.UseWideApi() && root == RegRoot::kLocalMachine) {
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
        RetireLegacyEntry();

        // 13
        if (stop()) return;
        const std::vector<unsigned long> made = sys_.CreateShortcuts(links);
        if (log_.on()) {
          std::size_t i = 0;
          auto report = [&](const ShortcutRow& r) {
            const unsigned long error = i < made.size() ? made[i] : 0;
            ++i;
            if (error == 0) {
              log_("shortcut: ", r.linkfile);
            } else {
              log_("shortcut could not be made: ", r.linkfile, " (error ", error, ": ",
                   sys_.ErrorText(error), ")");
            }
          };
          for (const ShortcutRow& r : links.grouprows) report(r);
          report(links.desktop);
        }
        // 14
        if (cosmetic_pauses_) obs_.Pause(kPauseBeforeAllDone);
        if (stop()) return;
        SetProgress(100);
        if (cosmetic_pauses_) obs_.Pause(kPauseAfterAllDone);
      }
    }
  }
  // 15
  obs_.SafePoint();
  if (obs_.Cancelled()) return;
  if (failed_) log_("installation failed: ", reader_.statustext);
  obs_.InstallDone(failed_, reader_.statustext);
}

}  // namespace kestrel
