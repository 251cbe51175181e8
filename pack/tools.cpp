#include "pack/tools.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <memory>

#include "installengine/extract.h"
#include "pack/hostio.h"
#include "pack/pathtext.h"
#include "pack/stubinfo.h"
#include "package/certtable.h"
#include "package/integrity.h"
#include "package/pkgfile.h"
#include "package/protection.h"
#include "package/publisher.h"
#include "package/scope.h"
#include "package/startload.h"
#include "sysutil/cmfconst.h"
#include "sysutil/codepage.h"

namespace kestrel::pack {
namespace fs = std::filesystem;
namespace {

std::string Text(std::u16string_view s) {
  return Printable(s);
}
template <std::size_t N>
std::string Text(const ShortText<N>& s) {
  return Printable(FromCp1252(ReadShort(s)));
}

// escaped like every other text from the package: it may hold terminal control sequences
std::string Cp1252Text(const std::string& s) {
  return Printable(FromCp1252(s));
}

std::string RecordPath(const DirectoryRecord& r) {
  return Text(ReadWide(r.subfolder)) + "\\" + Text(ReadWide(r.filename));
}

// Opens the package the way the installer does; false with a message on `err`.
// `list` reads no content, so it needs nothing to unlock it.
bool OpenReader(const fs::path& setup, const Unlock& unlock, PackageReader& reader,
                ConfigRecord& config, std::ostream& err, std::int64_t* recordpos = nullptr,
                bool checksum = false, bool reads_content = true) {
  const std::vector<std::uint8_t>& key = unlock.key;
  std::string error;
  if (!ReadConfiguration(setup, config, error, recordpos, checksum)) {
    err << "kestrel-pack: " << error << "\n";
    return false;
  }
  reader.programpath = PackagePath(setup);
  reader.packageoffset = config.packageoffset;
  reader.packageend = config.licenseoffset;
  reader.config = &config;
  if (!key.empty() && !reader.SetKey(key)) {
    err << "kestrel-pack: the key must be 1 to 56 bytes long\n";
    return false;
  }
  if (!reader.OpenPackage()) {
    err << "kestrel-pack: Problem accessing setup data: the package header or directory of "
        << PathToUtf8(setup) << " cannot be read";
    if (!reader.statustext.empty()) err << " (" << Text(reader.statustext) << ")";
    err << "\n";
    return false;
  }
  if (reads_content && !unlock.password && unlock.key.empty() && reader.header.encrypted == 1 &&
      ReadPasswordData(reader.header)) {
    err << "kestrel-pack: " << PathToUtf8(setup)
        << " is protected by a password: give --password-file FILE\n";
    return false;
  }
  if (unlock.password) {
    switch (reader.SetPassword(*unlock.password)) {
      case PasswordCheck::kAccepted:
        break;
      case PasswordCheck::kWrong:
        err << "kestrel-pack: wrong password for " << PathToUtf8(setup) << "\n";
        return false;
      case PasswordCheck::kNoPasswordData:
        if (reader.header.encrypted != 1) {
          err << "kestrel-pack: warning: " << PathToUtf8(setup)
              << " is not enciphered; the password is not needed\n";
          break;
        }
        err << "kestrel-pack: " << PathToUtf8(setup)
            << " carries no password data (it was enciphered with a raw key: use --key-file)\n";
        return false;
    }
  }
  return true;
}

// The host path of the file the file step writes for `r` below the destination `folder`.
fs::path ExtractedPath(const fs::path& folder, const DirectoryRecord& r) {
  fs::path p = folder;
  std::u16string sub = ReadWide(r.subfolder);
  for (auto& ch : sub) {
    if (ch == u'\\') ch = u'/';
  }
  while (!sub.empty() && sub.front() == u'/') sub.erase(0, 1);
  if (!sub.empty()) p /= PathFromUtf8(Utf16ToUtf8(sub));
  return p / PathFromUtf8(Utf16ToUtf8(ReadWide(r.filename)));
}

// Where the blocks of a record may start: behind the Package header, in front of the classic
// directory region (`count` records; a compact directory's run lies in front of it, too).
bool BlocksInDataArea(const DirectoryRecord& r, const ConfigRecord& c, std::size_t count) {
  const std::int64_t directory = static_cast<std::int64_t>(c.licenseoffset) -
                                 static_cast<std::int64_t>(kDirectoryTrailerSize) -
                                 static_cast<std::int64_t>(kDirectoryRecordSize * count);
  return r.dataoffset >= static_cast<std::int64_t>(kPackageHeaderSize) &&
         r.dataoffset < directory - c.packageoffset;
}

// A byte count as people read it: "4,294,967,296 bytes (4.0 GiB)".
std::string Bytes(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(n);
  int unit = -1;
  while (v >= 1024 && unit < 5) {
    v /= 1024;
    ++unit;
  }
  if (unit < 0) return digits + " bytes";
  char scaled[32];
  std::snprintf(scaled, sizeof scaled, "%.1f %s", v, kUnits[unit]);
  return digits + " bytes (" + scaled + ")";
}

// The line every reading command prints: what the package writes when installed, which shared
// content may make far larger than the package.
std::string InstallsLine(const PackageReader& reader, std::uint64_t package_bytes) {
  const std::uint64_t total = reader.records.InstalledBytes();
  std::string line =
      "Installs:       " + Bytes(total) + " in " + std::to_string(reader.records.size()) + " files";
  if (package_bytes > 0 && total / package_bytes >= 100) {
    line += ", " + std::to_string(total / package_bytes) + " times the package's size";
  }
  return line + "\n";
}

// The licence text as setup shows it: up to its first zero byte (the packer's padding to a
// multiple of 8 is zeros).
std::int64_t LicenceLength(const fs::path& setup, const ConfigRecord& c, std::int64_t recordpos) {
  const std::int64_t region = recordpos - c.licenseoffset;
  if (region <= 0 || region > kMaxLicenseBytes) return std::max<std::int64_t>(region, 0);
  auto host = MakeHostFileSystem();
  auto file = host->NewFile();
  std::string text(static_cast<std::size_t>(region), '\0');
  std::uint32_t n = static_cast<std::uint32_t>(region);
  if (!file->OpenRead(PackagePath(setup)) ||
      file->ReadAt(text.data(), n, c.licenseoffset) != static_cast<std::uint32_t>(region)) {
    return region;
  }
  return static_cast<std::int64_t>(std::min(text.find('\0'), text.size()));
}

}  // namespace

std::string Printable(std::u16string_view text) {
  std::string out;
  char hex[16];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool paired =
        high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (paired) {
      out += Utf16ToUtf8(text.substr(i, 2));
      ++i;
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
      out += hex;
    } else if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0x200B && c <= 0x200F) ||
               (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
               (c >= 0xFFF9 && c <= 0xFFFB) || c == 0x061C || c == 0x00AD) {
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += Utf16ToUtf8(text.substr(i, 1));
    }
  }
  return out;
}

std::string PrintablePath(const fs::path& path) {
  return Printable(Utf8ToUtf16(PathToUtf8(path)));
}

LayoutReport CheckLayout(std::int64_t filesize, const ConfigRecord& config,
                         std::int32_t filecount) {
  LayoutReport report;
  const std::int64_t p = config.packageoffset;
  const std::int64_t l = config.licenseoffset;
  const std::int64_t record = filesize - static_cast<std::int64_t>(kConfigRecordSize);
  const std::int64_t header_end = p + static_cast<std::int64_t>(kPackageHeaderSize);
  const std::int64_t trailer = l - static_cast<std::int64_t>(kDirectoryTrailerSize);
  const std::int64_t n = filecount > 0 ? filecount : 0;
  const std::int64_t directory = trailer - n * static_cast<std::int64_t>(kDirectoryRecordSize);
  auto at = [](std::int64_t v) { return std::to_string(v); };
  if (p < 0 || header_end > record) {
    report.faults.push_back("the Package header (packageoffset " + at(p) +
                            ") lies outside the package, which ends at " + at(record));
  }
  if (l > record) {
    report.faults.push_back("licenseoffset " + at(l) + " lies inside or behind the Configuration " +
                            "record at " + at(record) + ": the directory is outside the package");
  } else if (trailer < header_end) {
    report.faults.push_back("the directory trailer at " + at(trailer) +
                            " overlaps the Package header (" + at(p) + " to " + at(header_end) +
                            ")");
  } else if (directory < header_end) {
    report.faults.push_back("the directory of " + at(n) + " records from " + at(directory) +
                            " overlaps the Package header (" + at(p) + " to " + at(header_end) +
                            ")");
  }
  if (filecount <= 0) {
    report.warnings.push_back("the directory is empty (filecount " + at(filecount) +
                              "): setup would install nothing");
  }
  return report;
}

bool ReadPasswordFile(const fs::path& path, std::string& password, std::string& error) {
  password.clear();
  std::vector<std::uint8_t> bytes;
  if (!ReadInputFile(path, kMaxPasswordFileBytes, "password file", bytes, error)) return false;
  const std::string text(bytes.begin(), bytes.end());
  std::string problem;
  if (auto p = PasswordFromFileText(text, problem)) {
    password = std::move(*p);
    return true;
  }
  error = "password file " + PathToUtf8(path) + " " + problem;
  return false;
}

std::u16string PackagePath(const fs::path& path) {
#ifdef _WIN32
  const std::wstring& native = path.native();
  std::u16string p(native.begin(), native.end());
#else
  std::u16string p = Utf8ToUtf16(path.string());
#endif
  for (auto& ch : p) {
    if (ch == u'/') ch = u'\\';
  }
  return p;
}

bool ReadConfiguration(const fs::path& setup, ConfigRecord& config, std::string& error,
                       std::int64_t* recordpos, bool checksum) {
  std::error_code ec;
  const fs::file_status st = fs::status(setup, ec);
  if (!ec && fs::exists(st) && !fs::is_regular_file(st)) {
    error = PrintablePath(setup) + " is not a regular file, so it carries no setup package";
    return false;
  }
  auto host = MakeHostFileSystem();
  auto file = host->NewFile();
  if (!file->OpenRead(PackagePath(setup))) {
    error = "Unable to find Setup Files in " + PathToUtf8(setup);
    return false;
  }
  const std::string damaged = Text(kDamagedSetupMessage) + " (" + PathToUtf8(setup) + ")";
  std::uint32_t n = kConfigRecordSize;
  const PackageExtent extent = FindPackageEnd(*file);
  const std::int64_t at = extent.end - static_cast<std::int64_t>(kConfigRecordSize);
  if (file->ReadAt(&config, n, at) != kConfigRecordSize) {
    error = extent.table_past_end ? damaged
                                  : "Unable to read from setup file! (" + PathToUtf8(setup) + ")";
    return false;
  }
  if (!HasSetupMarker(config)) {
    error =
        extent.table_past_end ? damaged : "No install files attached! (" + PathToUtf8(setup) + ")";
    return false;
  }
  if (checksum && CheckPackage(*file, config, at) == PackageCheck::kDamaged) {
    error = damaged;
    return false;
  }
  if (recordpos) *recordpos = at;
  return true;
}

int ListPackage(const fs::path& setup, std::ostream& out, std::ostream& err) {
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  auto config = std::make_unique<ConfigRecord>();
  std::int64_t recordpos = 0;
  if (!OpenReader(setup, Unlock{}, reader, *config, err, &recordpos, false, false)) return 1;
  const ConfigRecord& c = *config;
  out << "Product:        " << Text(c.displayname) << " " << Text(c.version) << "\n"
      << "Main program:   " << Text(c.exename) << "\n"
      << "Install folder: " << Text(ReadWide(c.installfolder)) << " (below Program Files)\n"
      << "Program group:  " << Text(ReadWide(c.programgroup)) << "\n"
      << "App data:       " << Text(c.appdatafolder) << "\n";
  const PublisherInfo info = ReadPublisherInfo(c);
  if (!info.publisher.empty()) out << "Publisher:      " << Cp1252Text(info.publisher) << "\n";
  if (!info.url.empty()) out << "Web page:       " << Cp1252Text(info.url) << "\n";
  for (int i = 0; i < 5 && c.servicefiles[i].length; ++i) {
    out << "Service " << i + 1 << ":      " << Text(c.servicenames[i]) << " = "
        << Text(c.servicefiles[i]) << "\n";
  }
  for (int i = 0; i < 6 && c.shortcutfiles[i].length; ++i) {
    out << "Shortcut " << i + 1 << ":     " << Text(c.shortcutcaptions[i]) << " -> "
        << Text(c.shortcutfiles[i]) << "\n";
  }
  if (c.assocext.length) {
    out << "Association:    " << Text(c.assocext) << " -> " << Text(c.assocclass) << " ("
        << Text(c.assocdescription) << "), opened by " << Text(c.assocprogram) << "\n";
  }
  {
    // what the program part's manifest asks of the system, read from its resource
    std::vector<std::uint8_t> program;
    if (c.packageoffset > 0 && c.packageoffset <= (std::int64_t{64} << 20)) {
      program.resize(static_cast<std::size_t>(c.packageoffset));
      std::ifstream in(setup, std::ios::binary);
      if (!in.read(reinterpret_cast<char*>(program.data()), c.packageoffset)) program.clear();
    }
    const bool read = !program.empty();
    const std::string level = read ? RequestedExecutionLevel(program) : std::string();
    const InstallScope scope = PackageScope(c);
    out << "Installs for:   "
        << (scope == InstallScope::kUser     ? "one user"
            : scope == InstallScope::kEither ? "every user or one, as chosen"
                                             : "every user")
        << "; runs as " << (level.empty() ? std::string("(no manifest)") : level) << "\n";
  }
  out << "Licence:        "
      << (c.haslicense ? std::to_string(LicenceLength(setup, c, recordpos)) + " bytes"
                       : std::string("none"))
      << "\n"
      << "Package:        at offset " << c.packageoffset << ", "
      << (reader.header.encrypted != 1      ? "plain"
          : ReadPasswordData(reader.header) ? "enciphered with a password"
                                            : "enciphered")
      << ", " << reader.records.size() << " files\n"
      << InstallsLine(reader, static_cast<std::uint64_t>(recordpos - c.packageoffset));
  if (const auto& solid = reader.solid()) {
    out << "Codec:          lzma2, one solid stream of " << solid->packed << " bytes for "
        << solid->unpacked << " bytes of content, "
        << (Lzma2DictionaryBytes(solid->dictionary) >> 10) << " KiB dictionary\n\n";
  } else {
    out << "Codec:          classic (every file's blocks on their own)\n\n";
  }
  out << std::setw(12) << "size" << std::setw(12) << "stored"
      << "  attr  path\n";
  std::uint64_t stored = 0;
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    const DirectoryRecord r = reader.records[i];
    out << std::setw(12) << r.filesize << std::setw(12) << r.storedsize << "  0x" << std::hex
        << std::setw(2) << std::setfill('0') << static_cast<int>(r.attributes) << std::dec
        << std::setfill(' ') << "  " << RecordPath(r) << "\n";
    // a crafted size must not wrap the sum (the installed total is summed the same way)
    if (r.storedsize > 0 &&
        __builtin_add_overflow(stored, static_cast<std::uint64_t>(r.storedsize), &stored)) {
      stored = UINT64_MAX;
    }
  }
  out << std::setw(12) << reader.records.InstalledBytes() << std::setw(12) << stored << "        "
      << reader.records.size() << " files\n";
  return 0;
}

int VerifyPackage(const fs::path& setup, const std::vector<std::uint8_t>& key, std::ostream& out,
                  std::ostream& err) {
  return VerifyPackage(setup, Unlock{key, std::nullopt}, out, err);
}

int VerifyPackage(const fs::path& setup, const Unlock& unlock, std::ostream& out,
                  std::ostream& err) {
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  auto config = std::make_unique<ConfigRecord>();
  std::int64_t recordpos = 0;
  if (!OpenReader(setup, unlock, reader, *config, err, &recordpos)) return 1;
  std::size_t faults = 0;
  // a signature behind the package is no part of it: the layout ends with the record
  const LayoutReport layout = CheckLayout(recordpos + static_cast<std::int64_t>(kConfigRecordSize),
                                          *config, reader.trailer.filecount);
  for (const auto& w : layout.warnings) err << "kestrel-pack: warning: " << w << "\n";
  for (const auto& f : layout.faults) out << "FAIL package layout: " << f << "\n";
  // the installer's start-up check first; the files are still gone through, to name the damage
  auto file = host->NewFile();
  const PackageCheck check = file->OpenRead(PackagePath(setup))
                                 ? CheckPackage(*file, *config, recordpos)
                                 : PackageCheck::kDamaged;
  file->Close();
  if (check == PackageCheck::kDamaged) {
    out << "FAIL package checksum: " << Text(kDamagedSetupMessage) << "\n";
    err << "kestrel-pack: " << Text(kDamagedSetupMessage) << " (" << PathToUtf8(setup) << ")\n";
  } else {
    out << (check == PackageCheck::kOk ? "ok   package checksum\n"
                                       : "--   package checksum: none stored\n");
  }
  const auto filecount = static_cast<std::size_t>(std::max(reader.trailer.filecount, 0));
  if (const auto& solid = reader.solid()) {
    DirectoryRecord stream{};
    stream.dataoffset = solid->dataoffset;
    if (!BlocksInDataArea(stream, *config, filecount)) {
      out << "FAIL package layout: the solid stream is said to start at " << solid->dataoffset
          << ", outside the data area between the Package header and the directory\n";
      ++faults;
    }
  }
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    const DirectoryRecord r = reader.records[i];
    std::int64_t decoded = 0;
    // a solid package's records hold offsets in its stream, checked when it was opened
    if (!reader.solid() && !BlocksInDataArea(r, *config, filecount)) {
      out << "FAIL " << RecordPath(r) << ": its blocks are said to start at " << r.dataoffset
          << ", outside the data area between the Package header and the directory\n";
      ++faults;
    } else if (!reader.ReadFileContent(i, decoded)) {
      out << "FAIL " << RecordPath(r) << ": " << Text(reader.statustext) << "\n";
      ++faults;
    } else if (decoded != r.filesize) {
      out << "FAIL " << RecordPath(r) << ": decoded " << decoded << " bytes, the directory says "
          << r.filesize << "\n";
      ++faults;
    } else {
      out << "ok   " << RecordPath(r) << " (" << decoded << " bytes)\n";
    }
  }
  if (faults) {
    err << "kestrel-pack: " << faults << " of " << reader.records.size() << " files failed\n";
    return 1;
  }
  if (!layout.faults.empty()) {
    err << "kestrel-pack: the package layout is damaged\n";
    return 1;
  }
  if (check == PackageCheck::kDamaged) return 1;
  out << InstallsLine(reader, static_cast<std::uint64_t>(recordpos - config->packageoffset));
  out << reader.records.size() << " files verified\n";
  return 0;
}

int ExtractPackage(const fs::path& setup, const fs::path& folder,
                   const std::vector<std::uint8_t>& key, std::ostream& out, std::ostream& err,
                   const std::function<void(std::int32_t)>& progress) {
  return ExtractPackage(setup, folder, Unlock{key, std::nullopt}, out, err, progress);
}

int ExtractPackage(const fs::path& setup, const fs::path& folder, const Unlock& unlock,
                   std::ostream& out, std::ostream& err,
                   const std::function<void(std::int32_t)>& progress) {
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  auto config = std::make_unique<ConfigRecord>();
  // the package's checksum first, as setup checks it: a damaged download gives up nothing
  std::int64_t recordpos = 0;
  if (!OpenReader(setup, unlock, reader, *config, err, &recordpos, true)) return 1;
  if (folder.empty()) {
    err << "kestrel-pack: no destination folder given\n";
    return 1;
  }
  // The destination's own links are resolved once here; below it the file step enters no link,
  // so nothing already standing in the folder can lead a write out of it.
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path root = fs::canonical(folder, ec);
  if (ec) {
    err << "kestrel-pack: cannot create the destination folder " << PrintablePath(folder) << ": "
        << ec.message() << "\n";
    return 1;
  }
  if (reader.records.empty()) {
    err << "kestrel-pack: warning: the directory is empty: nothing to extract\n";
  }
  // shared content lets a small package write far more than its size: the total is told and
  // must fit the output's volume before anything is written
  const std::uint64_t total = reader.records.InstalledBytes();
  out << InstallsLine(reader, static_cast<std::uint64_t>(recordpos - config->packageoffset));
  const fs::space_info space = fs::space(root, ec);
  if (!ec && total > space.available) {
    err << "kestrel-pack: the package writes " << Bytes(total) << ", but only "
        << Bytes(space.available) << " are free on the volume of " << PrintablePath(root)
        << "; nothing was extracted\n";
    return 1;
  }
  reader.destfolder = PackagePath(root);
  reader.overwrite = true;
  reader.showprogress = progress;
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    reader.lastpath.clear();  // set once the record passed its checks and the file is made
    const bool ok = reader.ExtractFile(i);
    out << RecordPath(reader.records[i]) << ": " << Text(reader.statustext) << "\n";
    // like the installer, the first failure ends the run; a file left with wrong or missing
    // bytes does not stay in the output looking extracted
    if (!ok) {
      const bool written =
          !reader.lastpath.empty() &&
          (reader.statustext == kStatusCorrupt || reader.statustext == kStatusReadFailed ||
           reader.statustext == kStatusSeekFailed || reader.statustext == kStatusWriteFailed);
      if (written) fs::remove(ExtractedPath(root, reader.records[i]), ec);
      err << "kestrel-pack: extraction stopped: " << Text(reader.statustext)
          << (written ? "; the file was removed" : "") << "\n";
      return 1;
    }
    // setup does not compare the length with the directory; the host tool does, as verify
    // does, and a file of the wrong length does not stay in the output either
    const fs::path written_path = ExtractedPath(root, reader.records[i]);
    const std::int64_t written = static_cast<std::int64_t>(fs::file_size(written_path, ec));
    if (ec || written != reader.records[i].filesize) {
      err << "kestrel-pack: extraction stopped: " << RecordPath(reader.records[i]) << " holds "
          << (ec ? std::string("an unknown number of") : std::to_string(written))
          << " bytes, the directory says " << reader.records[i].filesize
          << "; the file was removed\n";
      fs::remove(written_path, ec);
      return 1;
    }
  }
  return 0;
}

}  // namespace kestrel::pack
