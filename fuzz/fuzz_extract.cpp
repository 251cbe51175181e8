// Extracts an arbitrary package file into a scratch folder, as the installer would. A file that
// ends with a Configuration record is taken as a whole setup executable; any other input is
// taken as a bare package (header at 0, directory ending at the end of the input), so short
// inputs reach the block loop too. A setup executable's compact directory, named by its
// Configuration record's extension, is read from its coded run. Every folder or file the step
// creates is checked to lie inside the scratch folder; one outside it traps.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "installengine/extract.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "sysutil/codepage.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;

std::u16string Wide(const fs::path& p) {
  std::u16string w = Utf8ToUtf16(p.string());
  for (auto& c : w) {
    if (c == u'/') c = u'\\';
  }
  return w;
}

// Lets through only paths strictly below the scratch folder and without a climbing component.
void CheckInside(const std::u16string& path, const std::u16string& root) {
  const std::u16string prefix = root + u"\\";
  if (path.compare(0, prefix.size(), prefix) != 0 || HasParentStep(path.substr(prefix.size()))) {
    __builtin_trap();
  }
}

class GuardFile final : public PackageFile {
 public:
  GuardFile(std::unique_ptr<PackageFile> f, const std::u16string& root)
      : f_(std::move(f)), root_(root) {}
  bool OpenRead(const std::u16string& p) override { return f_->OpenRead(p); }
  bool CreateWrite(const std::u16string& p) override {
    CheckInside(p, root_);
    return f_->CreateWrite(p);
  }
  std::uint32_t Read(void* b, std::uint32_t& n) override { return f_->Read(b, n); }
  bool Write(const void* b, std::uint32_t n) override { return f_->Write(b, n); }
  void Close() override { f_->Close(); }
  bool IsOpen() const override { return f_->IsOpen(); }
  std::int64_t Size() override { return f_->Size(); }
  std::int64_t Position() override { return f_->Position(); }
  bool Seek(std::int64_t p) override { return f_->Seek(p); }

 private:
  std::unique_ptr<PackageFile> f_;
  const std::u16string& root_;
};

class GuardFileSystem final : public FileSystem {
 public:
  GuardFileSystem(std::unique_ptr<FileSystem> host, std::u16string root)
      : host_(std::move(host)), root_(std::move(root)) {}
  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<GuardFile>(host_->NewFile(), root_);
  }
  bool FindEntry(const std::u16string& p, bool& d) override { return host_->FindEntry(p, d); }
  bool CreateFolder(const std::u16string& p) override {
    CheckInside(p, root_);
    return host_->CreateFolder(p);
  }
  bool ApplyAttributes(const std::u16string& p, std::uint32_t a) override {
    CheckInside(p, root_);
    return host_->ApplyAttributes(p, a);
  }
  // the file step removes only a file it wrote and found wrong
  bool RemoveFile(const std::u16string& p) override {
    CheckInside(p, root_);
    return host_->RemoveFile(p);
  }
  bool RemoveFolder(const std::u16string&) override { __builtin_trap(); }
  bool MoveReplacing(const std::u16string&, const std::u16string&) override { __builtin_trap(); }

 private:
  std::unique_ptr<FileSystem> host_;
  std::u16string root_;
};

struct Scratch {
  fs::path root, package, out;
  Scratch() {
    // a memory-backed folder keeps the per-run create and delete cheap
    std::error_code ec;
    const fs::path base =
        fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    root = base / ("kestrel-fuzz-extract-" + std::to_string(::getpid()));
    package = root / "package.bin";
    out = root / "out";
    fs::create_directories(root);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

void ClearOut(const fs::path& out) {
  std::error_code ec;
  // read-only files left by the last run must not stop the cleanup
  for (auto& e : fs::recursive_directory_iterator(out, ec)) {
    fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(out, ec);
  fs::create_directories(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  {
    std::ofstream f(scratch.package, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ClearOut(scratch.out);

  std::int32_t packageoffset = 0;
  std::int64_t packageend = static_cast<std::int64_t>(size);
  static ConfigRecord config;
  bool whole = false;
  if (size >= kConfigRecordSize) {
    std::memcpy(&config, data + size - kConfigRecordSize, kConfigRecordSize);
    if (HasSetupMarker(config)) {
      packageoffset = config.packageoffset;
      packageend = config.licenseoffset;
      whole = true;  // its extension may name a compact directory
    }
  }

  const std::u16string dest = Wide(scratch.out);
  GuardFileSystem guard(MakeHostFileSystem(), dest);
  PackageReader reader(guard);
  reader.programpath = Wide(scratch.package);
  reader.packageoffset = packageoffset;
  reader.packageend = packageend;
  reader.config = whole ? &config : nullptr;
  reader.destfolder = (size & 2) ? dest + u"\\" : dest;  // with and without a final backslash
  if (size % 3 != 0) {  // most inputs are keyed; the rest take the no-key path
    static const std::uint8_t key[] = {'f', 'u', 'z', 'z'};
    reader.SetKey(key);
  }
  if (!reader.OpenPackage()) return 0;
  for (std::size_t i = 0; i < reader.records.size() && i < 64; ++i) {
    if (!reader.ExtractFile(i) || reader.TerminationRequested()) break;
  }
  return 0;
}
