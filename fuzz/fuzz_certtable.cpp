// Reads arbitrary bytes as a setup file's PE headers and certificate table, as setup, list,
// verify and extract do to find the package's end, and plans the uninstaller copy's patch from
// the Configuration record at that end. Traps when the package's end lies outside the file, when
// a table taken for the signature does not end the file, or when the patch would write outside
// the program part it is applied to.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "installengine/installrun.h"
#include "package/certtable.h"
#include "package/records.h"

namespace {

using namespace kestrel;

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

class MemoryFile final : public PackageFile {
 public:
  explicit MemoryFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool OpenRead(const std::u16string&) override { return true; }
  bool CreateWrite(const std::u16string&) override { return false; }
  std::uint32_t Read(void* buffer, std::uint32_t& n) override {
    const std::size_t left = pos_ < size_ ? size_ - pos_ : 0;
    n = static_cast<std::uint32_t>(std::min<std::size_t>(n, left));
    std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  bool Write(const void*, std::uint32_t) override { return false; }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::int64_t Size() override { return static_cast<std::int64_t>(size_); }
  std::int64_t Position() override { return static_cast<std::int64_t>(pos_); }
  bool Seek(std::int64_t p) override {
    if (p < 0) return false;
    pos_ = static_cast<std::size_t>(p);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFile file(data, size);
  const PackageExtent extent = FindPackageEnd(file);
  const auto n = static_cast<std::int64_t>(size);
  Require(extent.end >= 0 && extent.end <= n);
  PeSignatureFields f;
  const bool pe = ReadPeSignatureFields(file, f);
  PeSignatureFields g;
  // the same headers read from the bytes and from the file agree
  Require(ParsePeSignatureFields(std::span(data, size), g) == pe);
  if (pe) Require(g.address == f.address && g.size == f.size && g.entry_at == f.entry_at);
  if (extent.signed_) {
    // the table begins at the end and ends the file, at most 7 zero bytes behind it
    Require(pe && f.address == extent.end && f.size > 0);
    const std::int64_t table_end = std::int64_t{f.address} + f.size;
    Require(table_end <= n && n - table_end < kCertificateAlignment);
  } else {
    Require(extent.end == n);
  }
  if (extent.end < static_cast<std::int64_t>(kConfigRecordSize)) return 0;
  static ConfigRecord config;
  std::memcpy(&config, data + extent.end - kConfigRecordSize, sizeof config);
  const UninstallerPatch patch = PlanUninstallerPatch(file, config);
  Require(patch.count >= 0 && patch.count <= 2);
  for (int i = 0; i < patch.count; ++i) {
    const ProgramPatch& p = patch.patches[i];
    Require(p.offset >= 0 && p.length <= sizeof p.bytes &&
            p.offset + p.length <= config.packageoffset);
  }
  // the copy, patched piece by piece, never writes outside each piece
  if (config.packageoffset > 0 && config.packageoffset <= n && file.Seek(0)) {
    class Sink final : public PackageFile {
     public:
      bool OpenRead(const std::u16string&) override { return false; }
      bool CreateWrite(const std::u16string&) override { return true; }
      std::uint32_t Read(void*, std::uint32_t& n) override { return n = 0; }
      bool Write(const void*, std::uint32_t) override { return true; }
      void Close() override {}
      bool IsOpen() const override { return true; }
      std::int64_t Size() override { return 0; }
      std::int64_t Position() override { return 0; }
      bool Seek(std::int64_t) override { return true; }
    } sink;
    static std::vector<std::uint8_t> buffer(kTransferBufferSize);
    Require(CopyProgramPart(file, sink, config.packageoffset, buffer.data(), patch));
  }
  return 0;
}
