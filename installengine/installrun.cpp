#include "installengine/installrun.h"

#include <cstdlib>
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
      TextId::status_no_memory,     TextId::status_no_restart_replace,
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
  if (!host_.CreateFolder(p)) return false;
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
    : config_(config),
      txn_(fs, sys),
      fs_(txn_.files()),
      sys_(txn_.system()),
      obs_(observer),
      notes_(fs_),
      reader_(notes_) {
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
  // the system waits for the product to end, up to a time limit
  if (sys_.CloseRunningWindow(RunningWindowPattern(config_)))
    log_("running product asked to close: ", Ansi{RunningWindowPattern(config_)});
}

// The applications closed for the files come back, whether the files changed or not.
void InstallRun::RestartClosedApps() {
  if (!closedapps_ || !restartapplications) return;
  closedapps_ = false;
  const unsigned long error = sys_.RestartApps();
  if (error == 0) {
    log_("applications started again");
  } else {
    log_("the applications could not be started again (error ", error, ": ", sys_.ErrorText(error),
         ")");
  }
}

std::vector<std::u16string> InstallRun::FileStepPaths() {
  reader_.destfolder = destfolder;
  std::vector<std::u16string> paths;
  DirectoryRecord r;
  for (std::size_t i = 0; i < reader_.records.size(); ++i) {
    reader_.records.Get(i, r);
    if (JudgeRecord(r, true).empty())
      paths.push_back(reader_.DestinationFolder(r) + ReadWide(r.filename));
  }
  return paths;
}

std::vector<std::u16string> InstallRun::FilesInPlace() {
  txn_.Survey(FileStepPaths());
  return txn_.InPlace();
}

// Applications other than the product that hold its files would make the installation replace
// them at the next start; closed first when the user or the command line said so.
void InstallRun::CloseAppsUsingFiles() {
  const std::vector<std::u16string> files = FilesInPlace();
  surveyed_ = true;  // the file step's plan starts from this survey
  if (files.empty()) return;
  std::vector<std::u16string> apps;
  if (const unsigned long error = sys_.AppsUsing(files, apps)) {
    log_("the applications using the files could not be found (error ", error, ": ",
         sys_.ErrorText(error), ")");
    return;
  }
  for (const std::u16string& app : apps) log_("files in use by: ", app);
  if (apps.empty()) return;
  if (!closeapplications) {
    log_("the applications are left running: the files they use are replaced at restart");
    return;
  }
  const unsigned long error = sys_.CloseApps();
  closedapps_ = error == 0;
  surveyed_ = false;  // a program that closes may write its files: looked at again
  if (closedapps_) {
    log_("applications closed");
  } else {
    log_("the applications could not be closed (error ", error, ": ", sys_.ErrorText(error),
         "): the files they use are replaced at restart");
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
  }
}

// False when the loop ended early: a failed file, a cancel or a read failure's stop request.
bool InstallRun::ExtractAll() {
  // the transaction notes every file the step writes at once, before the first
  if (!surveyed_) txn_.Survey(FileStepPaths());
  txn_.Plan();
  for (std::size_t i = 0; i < reader_.records.size(); ++i) {
    obs_.SafePoint();
    if (obs_.Cancelled() || reader_.TerminationRequested()) return false;
    if (!reader_.ExtractFile(i)) {
      failed_ = true;
      // a full disk is said as such, not as a file in use
      const bool full = reader_.statustext == kStatusWriteFailed && sys_.LastErrorIsDiskFull();
      if (log_.on()) {
        const std::u16string why = sys_.LastErrorText();
        log_("file failed: ", reader_.statustext, why.empty() ? u"" : u" (system: " + why + u")");
      }
      if (full) reader_.statustext = DiskFullMessage(reader_.lastpath);
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

int CompareVersions(std::string_view a, std::string_view b) {
  while (!a.empty() || !b.empty()) {
    auto part = [](std::string_view& v) {
      const std::size_t dot = v.find('.');
      std::string_view p = v.substr(0, dot);
      v = dot == std::string_view::npos ? std::string_view() : v.substr(dot + 1);
      return p;
    };
    std::string_view pa = part(a), pb = part(b);
    auto number = [](std::string_view& p) {
      while (!p.empty() && p[0] == '0') p.remove_prefix(1);  // "0", "00" and "" are all zero
      std::size_t n = 0;
      while (n < p.size() && p[n] >= '0' && p[n] <= '9') ++n;
      const std::string_view digits = p.substr(0, n);
      p.remove_prefix(n);
      return digits;
    };
    const std::string_view na = number(pa), nb = number(pb);
    // numbers without leading zeros: the longer is larger, else the text order is the number's
    if (na.size() != nb.size()) return na.size() < nb.size() ? -1 : 1;
    if (const int c = na.compare(nb)) return c < 0 ? -1 : 1;
    if (const int c = pa.compare(pb)) return c < 0 ? -1 : 1;
  }
  return 0;
}

std::u16string DowngradeMessage(const std::u16string& product, const std::string& package,
                                const std::string& installed) {
  return Tr(TextId::downgrade_refused, {{u"name", product},
                                        {u"installed", FromCodePage(installed)},
                                        {u"version", FromCodePage(package)}});
}

std::u16string NoJournalMessage(const std::u16string& folder) {
  return Tr(TextId::journal_not_written, {{u"folder", folder}});
}

std::u16string DiskFullMessage(const std::u16string& path) {
  return Tr(TextId::disk_full, {{u"path", path}});
}

namespace {
std::u16string Megabytes(std::uint64_t bytes) {
  // in 32 bits: tenths of a megabyte reach 400 terabytes
  const auto tenths =
      static_cast<std::uint32_t>(std::min<std::uint64_t>((bytes + 52428) / 104858, 0xFFFFFFFF));
  return FromCodePage(std::to_string(tenths / 10) + "." + std::to_string(tenths % 10)) + u" MB";
}
}  // namespace

std::u16string NoSpaceMessage(const std::u16string& volume, std::uint64_t needed,
                              std::uint64_t free) {
  return Tr(TextId::space_refused,
            {{u"folder", volume}, {u"needed", Megabytes(needed)}, {u"free", Megabytes(free)}});
}

// An installed copy of this product that is newer than the package is not replaced by it unless
// told to; a package or an installation without a version is neither older nor newer.
bool InstallRun::CheckVersion() {
  std::string installed = haveearlier_ ? earlier_.version : std::string();
  if (installed.empty() && root == RegRoot::kLocalMachine)
    installed = sys_.ReadMachineString(UninstallKey(identity_), "DisplayVersion");
  const std::string package = ReadShort(config_.version);
  if (installed.empty() || package.empty()) return true;
  const int order = CompareVersions(package, installed);
  static constexpr const char* kOrders[] = {": a downgrade", ": a repair", ": an upgrade"};
  LogLine(log_, "installed version ", Ansi{installed}, ", this package ", Ansi{package},
          kOrders[order + 1]);
  if (order >= 0) return true;
  if (allowdowngrade) {
    LogLine(log_, "downgrade allowed by /ALLOWDOWNGRADE");
    return true;
  }
  downgrade_ = true;
  reader_.statustext = DowngradeMessage(
      names ? names->displayname : FromCodePage(TrimBlanks(ReadShort(config_.displayname))),
      package, installed);
  return false;
}

// The bytes the files will take, where the package's sizes are known to be true (a solid
// package's, or sizes the packer checked by their CRC-32), with the program copy, against the
// free space of the destination's volume. Files an upgrade replaces are kept until the end, so
// they are not subtracted.
bool InstallRun::CheckSpace() {
  const std::u16string folder = JournalFolder(fs_, destfolder);
  std::uint64_t free = 0;
  if (folder.empty() || !sys_.FreeSpace(folder, free)) return true;  // the file step will tell
  std::uint64_t needed =
      static_cast<std::uint64_t>(std::max(config_.packageoffset, 0)) + (std::uint64_t{1} << 20);
  const bool solid = reader_.codec() != Codec::kClassic;
  DirectoryRecord r;
  for (std::size_t i = 0; i < reader_.records.size(); ++i) {
    reader_.records.Get(i, r);
    if (r.filesize > 0 && (solid || FileContentCrc(r))) {
      // whole clusters: a small file takes at least one
      needed += (static_cast<std::uint64_t>(r.filesize) + 4095) & ~std::uint64_t{4095};
    }
  }
  LogLine(log_, "space: ", Megabytes(needed), " needed, ", Megabytes(free), " free on ", folder);
  if (needed <= free) return true;
  const bool drive = folder.size() >= 2 && folder[1] == u':';
  std::u16string volume = folder.substr(0, drive ? 2 : folder.find(u'\\', 2));
  if (drive) volume += u'\\';
  reader_.statustext = NoSpaceMessage(volume, needed, free);
  return false;
}

// Files the earlier installation recorded that this one did not write again: the new version no
// longer ships them (or the product moved to another folder). Removed through the transaction,
// so a rollback brings them back; then the folders it made that now stand empty.
void InstallRun::RemoveDroppedFiles() {
  if (!haveearlier_) return;
  // the files written now, by a 64-bit hash of their folded path; every letter beyond ASCII, and
  // the two ASCII letters one of them may fold to (I, S), hash as one, so a name whose case
  // changed in any script still finds the file that ships. A collision only keeps a dropped file.
  auto hash = [](const std::u16string& path) {
    std::uint64_t h = 14695981039346656037ull;
    for (char16_t c : FoldPath(path)) {
      if (c >= 0x80 || c == u'I' || c == u'S') c = 0x80;
      h = (h ^ c) * 1099511628211ull;
    }
    return h;
  };
  std::vector<std::uint64_t> now;
  const std::u16string folder = FoldPath(StripTrailingBackslash(destfolder));
  const std::u16string in = AddTrailingBackslash(destfolder);
  for (const RecordedFile& f : record_.files) now.push_back(hash(in + f.path.substr(1)));
  now.push_back(hash(in + UninstallerName(identity_)));
  now.push_back(hash(in + RecordName(identity_)));
  // the C library's sort: one routine for any element type, where std::sort is made anew
  auto order = [](const void* a, const void* b) {
    const auto x = *static_cast<const std::uint64_t*>(a), y = *static_cast<const std::uint64_t*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  };
  std::qsort(now.data(), now.size(), sizeof now[0], order);
  std::vector<RecordedFile> kept;
  std::vector<std::u16string> earlierfiles;
  for (const RecordedFile& f : earlier_.files) earlierfiles.push_back(earlier_.FullPath(f.path));
  if (!earlier_.uninstaller.empty())
    earlierfiles.push_back(earlier_.FullPath(earlier_.uninstaller));
  if (FoldPath(StripTrailingBackslash(earlier_.installfolder)) != folder)
    earlierfiles.push_back(AddTrailingBackslash(earlier_.installfolder) + RecordName(identity_));
  bool dropped = false;
  for (std::size_t i = 0; i < earlierfiles.size(); ++i) {
    const std::u16string& path = earlierfiles[i];
    const std::uint64_t h = hash(path);
    if (std::bsearch(&h, now.data(), now.size(), sizeof h, order)) continue;
    dropped = true;
    if (!FilePresent(fs_, path)) continue;
    if (fs_.RemoveFile(path)) {
      LogLine(log_, "file the new version does not ship removed: ", path);
    } else if (i < earlier_.files.size()) {
      LogLine(log_, "file the new version does not ship could not be removed: ", path);
      kept.push_back(earlier_.files[i]);
    }
  }
  // what was removed is kept aside until the commit: its folders can go only then (none can
  // have been emptied when every file is written again)
  if (dropped) {
    emptied_ = earlier_.folders;
    SortDeepestFirst(emptied_);
  }
  earlier_.files = std::move(kept);
}

// The earlier version's folders that the commit left empty.
void InstallRun::RemoveEmptiedFolders() {
  const std::u16string folder = FoldPath(StripTrailingBackslash(destfolder));
  for (const std::u16string& f : emptied_) {
    if (FoldPath(f) == folder) continue;  // one not there or not empty stays as it is
    if (fs_.RemoveFolder(f)) LogLine(log_, "emptied folder removed: ", f);
  }
}

// Every step that changes the machine, inside the transaction.
InstallRun::Ending InstallRun::Steps() {
  auto stop = [this] {
    obs_.SafePoint();
    return obs_.Cancelled();
  };
  // 2, 3
  CloseRunningProduct();
  if (stop()) return Ending::kCancelled;
  RemoveEarlierServices();
  if (!obs_.Cancelled()) CloseAppsUsingFiles();

  // 4, 5
  ExtractAll();
  if (obs_.Cancelled()) return Ending::kCancelled;
  if (reader_.TerminationRequested()) return Ending::kStopped;
  // 6: a failed file skips everything up to the report
  if (failed_) return Ending::kFailed;

  // 7
  if (cosmetic_pauses_) obs_.Pause(kPauseBeforeFilesDone);
  if (stop()) return Ending::kCancelled;
  SetProgress(90);
  // 8: the product's own uninstaller, and its record, before anything names them
  if (stop()) return Ending::kCancelled;
  WriteUninstallerCopy();
  RefreshSharedUninstaller();
  if (PackageFile* program = reader_.package()) program->Close();
  RemoveDroppedFiles();
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
    return Ending::kFailed;
  }
  // 9, 10
  if (stop()) return Ending::kCancelled;
  WriteRows(AppPathsRows(in));
  if (stop()) return Ending::kCancelled;
  WriteRows(association);
  // 11
  if (sys_.UseWideApi() && root == RegRoot::kLocalMachine) {
    for (const ServiceEntry& s : ConfiguredServices(config_, destfolder)) {
      if (stop()) return Ending::kCancelled;
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
  if (stop()) return Ending::kCancelled;
  WriteRows(UninstallRows(in));
  RetireLegacyEntry();

  // 13
  if (stop()) return Ending::kCancelled;
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
  if (stop()) return Ending::kCancelled;
  return Ending::kDone;
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
    log_("product identity: ", Ansi{identity_});
    // a run of this product that died is finished first, so this one starts from a whole state
    if (!sys_.ReadWideString(root, kJournalKey, identity_).empty()) {
      obs_.RollingBack();
      recovered_ = RecoverTransaction(txn_.files(), txn_.system(), root, identity_, log_);
    }
    ReadEarlierRecord();
    if (!CheckVersion() || !CheckSpace()) {
      failed_ = true;
    } else {
      const std::u16string found = JournalFolder(fs_, destfolder);
      const std::u16string folder = AddTrailingBackslash(found);
      const bool begun =
          !found.empty() && txn_.Begin(folder + JournalName(identity_), root, identity_);
      Ending ending = begun ? Steps() : Ending::kFailed;
      if (!begun || (ending == Ending::kDone && txn_.broken())) {
        // no journal, or a change the journal could not guard was not made: the product is not
        // whole
        failed_ = true;
        reader_.statustext = NoJournalMessage(folder);
        ending = Ending::kFailed;
      }
      if (ending == Ending::kDone && !txn_.Commit()) {
        failed_ = true;
        reader_.statustext = kStatusNoRestartReplace;
        ending = Ending::kFailed;
      }
      if (ending == Ending::kDone) {
        committed_ = true;
        restart_ = txn_.atrestart();
        if (restart_)
          LogLine(log_, "a restart completes the installation: files in use are replaced then");
        RemoveEmptiedFolders();
        SetProgress(100);
        RestartClosedApps();
        if (cosmetic_pauses_) obs_.Pause(kPauseAfterAllDone);
      } else if (begun) {
        if (ending != Ending::kCancelled) obs_.RollingBack();
        LogLine(log_,
                ending == Ending::kCancelled ? "installation cancelled: " : "installation failed: ",
                "undoing its changes");
        txn_.Rollback();
        RestartClosedApps();
        if (ending == Ending::kCancelled) return;
        if (ending == Ending::kStopped) {
          LogLine(log_, "installation stopped: ", reader_.statustext);
          obs_.InstallStopped(reader_.statustext);
          return;
        }
      }
    }
  }
  // 15: a cancel after the commit comes too late to undo anything: the installation is complete
  obs_.SafePoint();
  if (obs_.Cancelled() && !committed_) return;
  if (failed_) log_("installation failed: ", reader_.statustext);
  obs_.InstallDone(failed_, reader_.statustext);
}

}  // namespace kestrel
