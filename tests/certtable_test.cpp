#include "package/certtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "installengine/installrun.h"
#include "package/extension.h"
#include "package/integrity.h"
#include "package/startload.h"
#include "pe_fixture.h"

namespace kestrel {
namespace {

using testing::DirsAt;
using testing::kLfanew;
using testing::kOpt;
using testing::MinimalPe;
using testing::SetCertEntry;
using testing::Signed;

// A file in memory, readable and writable; seeking before the start fails as the system's does.
class MemoryFile final : public PackageFile {
 public:
  explicit MemoryFile(std::vector<std::uint8_t> bytes = {}) : bytes_(std::move(bytes)) {}
  bool OpenRead(const std::u16string&) override { return true; }
  bool CreateWrite(const std::u16string&) override { return true; }
  std::uint32_t Read(void* buffer, std::uint32_t& n) override {
    const std::int64_t left = static_cast<std::int64_t>(bytes_.size()) - pos_;
    const auto got = left <= 0 ? 0u : static_cast<std::uint32_t>(std::min<std::int64_t>(n, left));
    if (got) std::memcpy(buffer, bytes_.data() + pos_, got);
    pos_ += got;
    n = got;
    return got;
  }
  bool Write(const void* buffer, std::uint32_t n) override {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    bytes_.insert(bytes_.end(), p, p + n);
    return true;
  }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()); }
  std::int64_t Position() override { return pos_; }
  bool Seek(std::int64_t position) override {
    if (position < 0) return false;
    pos_ = position;
    return true;
  }
  std::vector<std::uint8_t> bytes_;

 private:
  std::int64_t pos_ = 0;
};

TEST(CertificateTable, PackageEndFollowsTheHeaderOnlyWhenTheTableEndsTheFile) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::int64_t end;  // -1: the file's size
    bool signed_;
    bool past_end;
  };
  for (bool plus : {false, true}) {
    auto half = MinimalPe(plus);
    SetCertEntry(half, plus, 0, 100);
    auto outside = MinimalPe(plus);
    SetCertEntry(outside, plus, 10000, 100);
    auto huge = MinimalPe(plus);
    SetCertEntry(huge, plus, 2048, 0xFFFFFFFF);
    auto huge_address = MinimalPe(plus);
    SetCertEntry(huge_address, plus, 0xFFFFFFF8, 16);
    auto in_headers = MinimalPe(plus);
    SetCertEntry(in_headers, plus, 16, 4096 - 16);
    auto short_optional = Signed(plus, 64);
    short_optional[kLfanew + 4 + 16] = 100;  // the optional header ends before entry 4
    auto few_entries = Signed(plus, 64);
    StoreLe32(&few_entries[kOpt + (plus ? 108 : 92)], 4);
    auto bad_magic = Signed(plus, 64);
    bad_magic[kOpt + 1] = 0x03;
    auto no_pe = Signed(plus, 64);
    no_pe[kLfanew] = 'X';
    auto far_lfanew = Signed(plus, 64);
    StoreLe32(&far_lfanew[0x3C], 0x7FFFFFF0);
    std::vector<std::uint8_t> tiny = {'M', 'Z', 0, 0};
    auto cut_pe = MinimalPe(plus);
    cut_pe.resize(kLfanew + 40);  // shorter than its PE header

    const Case cases[] = {
        {"unsigned: entry zero", MinimalPe(plus), -1, false, false},
        {"signed, table ends the file", Signed(plus, 1000), 4096, true, false},
        {"signed, 7 zero bytes of padding", Signed(plus, 1000, 7), 4096, true, false},
        {"8 bytes behind the table", Signed(plus, 1000, 8), -1, false, false},
        {"non-zero bytes behind the table", Signed(plus, 1000, 3, 0x01), -1, false, false},
        {"data appended behind the table", Signed(plus, 1000, 50000), -1, false, false},
        {"half an entry", half, -1, false, false},
        {"table outside the file", outside, -1, false, true},
        {"huge size", huge, -1, false, true},
        {"huge address", huge_address, -1, false, true},
        {"table over the headers", in_headers, -1, false, false},
        {"optional header too short", short_optional, -1, false, false},
        {"fewer than 5 directory entries", few_entries, -1, false, false},
        {"neither PE32 nor PE32+", bad_magic, -1, false, false},
        {"no PE signature", no_pe, -1, false, false},
        {"e_lfanew far past the end", far_lfanew, -1, false, false},
        {"shorter than a DOS header", tiny, -1, false, false},
        {"shorter than its PE header", cut_pe, -1, false, false},
        {"empty file", {}, -1, false, false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (plus ? " (PE32+)" : " (PE32)"));
      MemoryFile f(c.bytes);
      const PackageExtent e = FindPackageEnd(f);
      EXPECT_EQ(e.end, c.end < 0 ? static_cast<std::int64_t>(c.bytes.size()) : c.end);
      EXPECT_EQ(e.signed_, c.signed_);
      EXPECT_EQ(e.table_past_end, c.past_end);
      // the span parser agrees with the file reader wherever the headers were read whole
      PeSignatureFields a, b;
      MemoryFile g(c.bytes);
      EXPECT_EQ(ParsePeSignatureFields(c.bytes, a), ReadPeSignatureFields(g, b));
      EXPECT_EQ(a.entry_at, b.entry_at);
      EXPECT_EQ(a.address, b.address);
    }
  }
}

// A setup file: program part, package bytes, record (with the given extension items).
struct SetupFile {
  std::vector<std::uint8_t> bytes;
  std::int64_t recordpos = 0;
};

SetupFile Assemble(const std::vector<std::uint8_t>& program,
                   const std::vector<std::uint8_t>& package,
                   const std::vector<std::pair<ConfigTag, std::vector<std::uint8_t>>>& items,
                   bool checksum) {
  SetupFile s;
  s.bytes = program;
  s.bytes.insert(s.bytes.end(), package.begin(), package.end());
  s.recordpos = static_cast<std::int64_t>(s.bytes.size());
  ConfigRecord c{};
  WriteShort(c.setupmarker, kSetupMarker);
  WriteShort(c.displayname, "Demo App");
  c.packageoffset = static_cast<std::int32_t>(program.size());
  c.licenseoffset = static_cast<std::int32_t>(s.recordpos);
  ExtensionBuilder ext(std::span(c.reserved11628));
  for (const auto& [tag, bytes] : items) EXPECT_TRUE(ext.Add(tag, std::span(bytes)));
  if (checksum) {
    std::uint8_t item[kPackageChecksumBytes];
    EncodePackageChecksum(
        {ContinueWithRecord(Crc32(package.data(), package.size()), c), package.size()}, item);
    EXPECT_TRUE(ext.Add(ConfigTag::kPackageChecksum, std::span(item)));
  }
  ext.Finish();
  const auto* p = reinterpret_cast<const std::uint8_t*>(&c);
  s.bytes.insert(s.bytes.end(), p, p + sizeof c);
  return s;
}

std::vector<std::uint8_t> Noise(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  return v;
}

// The uninstaller copy as the engine writes it, with its pieces cut at `piece` bytes.
std::vector<std::uint8_t> Copy(const SetupFile& s, std::uint32_t piece) {
  MemoryFile setup(s.bytes);
  ConfigRecord c;
  std::memcpy(&c, s.bytes.data() + s.recordpos, sizeof c);
  const UninstallerPatch patch = PlanUninstallerPatch(setup, c);
  std::vector<std::uint8_t> out(s.bytes.begin(), s.bytes.begin() + c.packageoffset);
  for (std::uint32_t at = 0; at < out.size(); at += piece) {
    const auto n = std::min<std::uint32_t>(piece, static_cast<std::uint32_t>(out.size() - at));
    ApplyUninstallerPatch(patch, at, out.data() + at, n);
  }
  return out;
}

TEST(UninstallerCopy, GetsTheStubsSignatureBackOrLosesAForeignEntry) {
  for (bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    // signed by the packer: the stub's table ends the program part, its fields are cleared
    const auto signed_stub = Signed(plus, 1000);
    auto front = signed_stub;
    StubSignature sig{4096, 1000, 0x1234};
    SetCertEntry(front, plus, 0, 0);
    StoreLe32(&front[kOpt + 64], 0);
    std::uint8_t item[kStubSignatureBytes];
    EncodeStubSignature(sig, item);
    const std::vector<std::uint8_t> itembytes(std::begin(item), std::end(item));
    const auto package = Noise(3000, 1);
    SetupFile packed = Assemble(front, package, {{ConfigTag::kStubSignature, itembytes}}, true);
    for (std::uint32_t piece : {65536u, 7u, 1u, DirsAt(plus) + 36}) {
      EXPECT_EQ(Copy(packed, piece), signed_stub) << "pieces of " << piece;
    }
    // the whole setup file signed afterwards, as a signing tool leaves it
    SetupFile outer = packed;
    SetCertEntry(outer.bytes, plus, static_cast<std::uint32_t>(outer.bytes.size()), 16);
    StoreLe32(&outer.bytes[kOpt + 64], 0x9999);
    outer.bytes.resize(outer.bytes.size() + 16, 0x31);
    EXPECT_EQ(Copy(outer, 65536), signed_stub);

    // unsigned: the copy is the program part byte for byte
    const auto stub = MinimalPe(plus);
    SetupFile plain = Assemble(stub, package, {}, true);
    MemoryFile f(plain.bytes);
    ConfigRecord c;
    std::memcpy(&c, plain.bytes.data() + plain.recordpos, sizeof c);
    EXPECT_EQ(PlanUninstallerPatch(f, c).count, 0);
    EXPECT_EQ(Copy(plain, 65536), stub);

    // signed by hand after an unsigned build: entry and CheckSum cleared in the copy
    SetupFile hand = plain;
    SetCertEntry(hand.bytes, plus, static_cast<std::uint32_t>(hand.bytes.size()), 24);
    hand.bytes.resize(hand.bytes.size() + 24, 0x31);
    auto clean = stub;
    StoreLe32(&clean[kOpt + 64], 0);
    EXPECT_EQ(Copy(hand, 3), clean);

    // a stub signature that does not end the program part names bytes the copy lacks
    StubSignature wrong{4096, 999, 0x1234};
    EncodeStubSignature(wrong, item);
    SetupFile damaged = Assemble(
        front, package, {{ConfigTag::kStubSignature, {std::begin(item), std::end(item)}}}, true);
    EXPECT_EQ(Copy(damaged, 65536), front);
  }
}

TEST(UninstallerCopy, CopyProgramPartAppliesThePatch) {
  const auto signed_stub = Signed(false, 70000);  // more than one 64 KiB piece
  auto front = signed_stub;
  SetCertEntry(front, false, 0, 0);
  StoreLe32(&front[kOpt + 64], 0);
  std::uint8_t item[kStubSignatureBytes];
  EncodeStubSignature({4096, 70000, 0x1234}, item);
  SetupFile s = Assemble(front, Noise(100, 2),
                         {{ConfigTag::kStubSignature, {std::begin(item), std::end(item)}}}, true);
  MemoryFile setup(s.bytes);
  ConfigRecord c;
  std::memcpy(&c, s.bytes.data() + s.recordpos, sizeof c);
  const UninstallerPatch patch = PlanUninstallerPatch(setup, c);
  ASSERT_TRUE(setup.Seek(0));
  MemoryFile out;
  std::vector<std::uint8_t> buffer(kTransferBufferSize);
  ASSERT_TRUE(CopyProgramPart(setup, out, c.packageoffset, buffer.data(), patch));
  EXPECT_EQ(out.bytes_, signed_stub);
}

TEST(PackageChecksum, EveryByteOfThePackageAndTheRecordCounts) {
  const auto stub = MinimalPe(false);
  const auto package = Noise(3 << 20, 3);  // several read pieces
  const SetupFile good = Assemble(stub, package, {}, true);
  auto check = [](const std::vector<std::uint8_t>& bytes, std::int64_t recordpos) {
    MemoryFile f(bytes);
    ConfigRecord c;
    std::memcpy(&c, bytes.data() + recordpos, sizeof c);
    return CheckPackage(f, c, recordpos);
  };
  EXPECT_EQ(check(good.bytes, good.recordpos), PackageCheck::kOk);
  const std::int64_t at[] = {static_cast<std::int64_t>(stub.size()),
                             static_cast<std::int64_t>(stub.size()) + (1 << 20) + 5,
                             good.recordpos - 1,
                             good.recordpos + std::int64_t{offsetof(ConfigRecord, displayname)} + 1,
                             good.recordpos + std::int64_t{offsetof(ConfigRecord, licenseoffset)}};
  for (std::int64_t i : at) {
    auto bad = good.bytes;
    bad[static_cast<std::size_t>(i)] ^= 0x01;
    EXPECT_EQ(check(bad, good.recordpos), PackageCheck::kDamaged) << "byte " << i;
  }
  // the program part is not the package's: a signature's fields may change there
  auto front = good.bytes;
  front[10] ^= 0xFF;
  EXPECT_EQ(check(front, good.recordpos), PackageCheck::kOk);
  // a record found at the wrong distance from the package start
  const SetupFile shorter =
      Assemble(stub, std::vector<std::uint8_t>(package.begin(), package.end() - 8), {}, false);
  auto moved = shorter.bytes;
  std::memcpy(moved.data() + shorter.recordpos, good.bytes.data() + good.recordpos,
              kConfigRecordSize);
  EXPECT_EQ(check(moved, shorter.recordpos), PackageCheck::kDamaged);
  // no checksum stored: nothing to check
  EXPECT_EQ(check(shorter.bytes, shorter.recordpos), PackageCheck::kUnchecked);
  // a damaged extension is no older packer's: one flipped bit in it, or the tail cut short
  // and zero-filled behind the magic, fails the check instead of turning it off
  const std::size_t tail = static_cast<std::size_t>(good.recordpos) + 11628;
  auto flipped = good.bytes;
  flipped[tail + 9] ^= 0x10;
  EXPECT_EQ(check(flipped, good.recordpos), PackageCheck::kDamaged);
  auto zeroed = good.bytes;
  std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(tail) + 4, zeroed.end(), 0);
  EXPECT_EQ(check(zeroed, good.recordpos), PackageCheck::kDamaged);
}

TEST(PackageChecksum, StartUpRefusesADamagedOrCutDownload) {
  const auto package = Noise(20000, 4);
  const SetupFile good = Assemble(MinimalPe(true), package, {}, true);
  ConfigRecord c;
  std::string licence;
  {
    MemoryFile f(good.bytes);
    EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kOk);
  }
  {
    auto bad = good.bytes;
    bad[5000] ^= 0x40;
    MemoryFile f(bad);
    EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kDamaged);
  }
  // signed: the record is found in front of the table
  auto signed_file = good.bytes;
  const auto table_at = static_cast<std::uint32_t>(signed_file.size());
  SetCertEntry(signed_file, true, table_at, 3000);
  signed_file.resize(signed_file.size() + 3000, 0x31);
  {
    MemoryFile f(signed_file);
    EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kOk);
  }
  // cut short: inside the table, and into the record
  for (std::size_t cut : {1000u, 3000u + 4096u}) {
    auto cutfile = signed_file;
    cutfile.resize(cutfile.size() - cut);
    MemoryFile f(cutfile);
    EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kDamaged) << cut;
  }
}

}  // namespace
}  // namespace kestrel
