#include "pack/tools.h"

#include <iomanip>
#include <memory>

#include "installengine/extract.h"
#include "pack/pathtext.h"
#include "package/pkgfile.h"
#include "sysutil/codepage.h"

namespace kestrel::pack {
namespace fs = std::filesystem;
namespace {

std::string Text(std::u16string_view s) {
  return Utf16ToUtf8(s);
}
template <std::size_t N>
std::string Text(const ShortText<N>& s) {
  return Utf16ToUtf8(FromCp1252(ReadShort(s)));
}

std::string RecordPath(const DirectoryRecord& r) {
  return Text(ReadWide(r.subfolder)) + "\\" + Text(ReadWide(r.filename));
}

// Opens the package the way the installer does; false with a message on `err`.
bool OpenReader(const fs::path& setup, const std::vector<std::uint8_t>& key, PackageReader& reader,
                ConfigRecord& config, std::ostream& err) {
  std::string error;
  if (!ReadConfiguration(setup, config, error)) {
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
  return true;
}

}  // namespace

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

bool ReadConfiguration(const fs::path& setup, ConfigRecord& config, std::string& error) {
  auto host = MakeHostFileSystem();
  auto file = host->NewFile();
  if (!file->OpenRead(PackagePath(setup))) {
    error = "Unable to find Setup Files in " + PathToUtf8(setup);
    return false;
  }
  std::uint32_t n = kConfigRecordSize;
  const std::int64_t end = file->Size();
  if (file->ReadAt(&config, n, end - static_cast<std::int64_t>(kConfigRecordSize)) !=
      kConfigRecordSize) {
    error = "Unable to read from setup file! (" + PathToUtf8(setup) + ")";
    return false;
  }
  if (!HasSetupMarker(config)) {
    error = "No install files attached! (" + PathToUtf8(setup) + ")";
    return false;
  }
  return true;
}

int ListPackage(const fs::path& setup, std::ostream& out, std::ostream& err) {
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  auto config = std::make_unique<ConfigRecord>();
  if (!OpenReader(setup, {}, reader, *config, err)) return 1;
  const ConfigRecord& c = *config;
  out << "Product:        " << Text(c.displayname) << " " << Text(c.version) << "\n"
      << "Main program:   " << Text(c.exename) << "\n"
      << "Install folder: " << Text(ReadWide(c.installfolder)) << " (below Program Files)\n"
      << "Program group:  " << Text(ReadWide(c.programgroup)) << "\n"
      << "App data:       " << Text(c.appdatafolder) << "\n";
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
  std::error_code ec;
  const auto size = fs::file_size(setup, ec);
  out << "Licence:        "
      << (c.haslicense ? std::to_string(static_cast<std::int64_t>(size) - kConfigRecordSize -
                                        c.licenseoffset) +
                             " bytes"
                       : std::string("none"))
      << "\n"
      << "Package:        at offset " << c.packageoffset << ", "
      << (reader.header.encrypted == 1 ? "enciphered" : "plain") << ", " << reader.records.size()
      << " files\n\n";
  out << std::setw(12) << "size" << std::setw(12) << "stored"
      << "  attr  path\n";
  std::int64_t total = 0, stored = 0;
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    const DirectoryRecord r = reader.records[i];
    out << std::setw(12) << r.filesize << std::setw(12) << r.storedsize << "  0x" << std::hex
        << std::setw(2) << std::setfill('0') << static_cast<int>(r.attributes) << std::dec
        << std::setfill(' ') << "  " << RecordPath(r) << "\n";
    total += r.filesize;
    stored += r.storedsize;
  }
  out << std::setw(12) << total << std::setw(12) << stored << "        " << reader.records.size()
      << " files\n";
  return 0;
}

int VerifyPackage(const fs::path& setup, const std::vector<std::uint8_t>& key, std::ostream& out,
                  std::ostream& err) {
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  auto config = std::make_unique<ConfigRecord>();
  if (!OpenReader(setup, key, reader, *config, err)) return 1;
  std::size_t faults = 0;
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    const DirectoryRecord r = reader.records[i];
    std::int64_t decoded = 0;
    if (!reader.ReadFileContent(i, decoded)) {
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
  out << reader.records.size() << " files verified\n";
  return 0;
}

int ExtractPackage(const fs::path& setup, const fs::path& folder,
                   const std::vector<std::uint8_t>& key, std::ostream& out, std::ostream& err,
                   const std::function<void(std::int32_t)>& progress) {
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  auto config = std::make_unique<ConfigRecord>();
  if (!OpenReader(setup, key, reader, *config, err)) return 1;
  if (folder.empty()) {
    err << "kestrel-pack: no destination folder given\n";
    return 1;
  }
  reader.destfolder = PackagePath(folder);
  reader.overwrite = true;
  reader.showprogress = progress;
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    const bool ok = reader.ExtractFile(i);
    out << RecordPath(reader.records[i]) << ": " << Text(reader.statustext) << "\n";
    // like the installer, the first failure ends the run
    if (!ok) {
      err << "kestrel-pack: extraction stopped: " << Text(reader.statustext) << "\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace kestrel::pack
