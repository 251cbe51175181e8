// What keeps wrong bytes out of installed files: the per-file content CRC (a damaged block, a wrong
// key) and the password check that comes before any byte is deciphered.
#include "package/protection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "installengine/extract.h"
#include "installengine/installrun.h"
#include "pack/tools.h"
#include "package/extension.h"
#include "package_fixture.h"
#include "sysutil/cmfconst.h"
#include "sysutil/codepage.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::RawFile;
using testing::RawPackage;
using testing::ReadFileBytes;
using testing::Stored;

class ProtectionTest : public ::testing::Test {
 protected:
  void Open(const RawPackage& pkg) {
    const auto a = testing::Assemble(pkg);
    setup_ = dir_ / "setup.exe";
    testing::WriteFileBytes(setup_, a.bytes);
    reader_ = std::make_unique<PackageReader>(*fs_);
    reader_->programpath = pack::PackagePath(setup_);
    reader_->packageoffset = a.packageoffset;
    reader_->packageend = a.packageend;
    reader_->destfolder = pack::PackagePath(dir_ / "out");
    ASSERT_TRUE(reader_->OpenPackage());
  }
  std::string Status() const { return Utf16ToUtf8(reader_->statustext); }
  fs::path Out(const std::string& rel) const { return dir_ / "out" / rel; }

  testing::ScratchDir dir_;
  fs::path setup_;
  std::unique_ptr<FileSystem> fs_ = MakeHostFileSystem();
  std::unique_ptr<PackageReader> reader_;
};

std::vector<std::uint8_t> Joined(const std::vector<std::vector<std::uint8_t>>& parts) {
  std::vector<std::uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Three blocks of one file; each case damages the content a different way (or not at all) and
// says whether the file step must accept it.
TEST_F(ProtectionTest, ContentCrcCatchesDamageAnywhereAndWrongKeys) {
  const std::vector<std::vector<std::uint8_t>> parts = {
      testing::RandomBytes(65536, 1), testing::RandomBytes(65536, 2), testing::RandomBytes(24, 3)};
  const std::uint32_t crc = Crc32(Joined(parts).data(), Joined(parts).size());
  const std::uint8_t key[] = {'r', 'i', 'g', 'h', 't'};
  const std::uint8_t other[] = {'w', 'r', 'o', 'n', 'g'};
  CipherState state;
  ASSERT_TRUE(MakeCipherState(key, state));

  struct Case {
    const char* name;
    int damaged_block;  // -1: none
    bool enciphered;
    bool wrong_key;
    bool with_crc;
    bool accepted;
  };
  const Case cases[] = {
      {"intact", -1, false, false, true, true},
      {"first block damaged", 0, false, false, true, false},
      {"last block damaged", 2, false, false, true, false},
      {"intact, enciphered", -1, true, false, true, true},
      {"wrong key", -1, true, true, true, false},
      // a record from an older packer has no CRC: its bytes pass unchecked, as they always did
      {"no CRC, damaged", 1, false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawPackage pkg;
    pkg.encrypted = c.enciphered ? 1 : 0;
    pkg.cipher = c.enciphered ? &state : nullptr;
    RawFile f{.filename = u"data.bin", .chainleft = 5, .chainright = 6};
    if (c.with_crc) f.contentcrc = crc;
    for (int b = 0; b < 3; ++b) {
      auto bytes = parts[static_cast<std::size_t>(b)];
      if (b == c.damaged_block) bytes[bytes.size() / 2] ^= 0x10;
      f.blocks.push_back(Stored(bytes, b == 2));
    }
    pkg.files.push_back(f);
    fs::remove_all(dir_ / "out");
    Open(pkg);
    if (c.enciphered) {
      ASSERT_TRUE(reader_->SetKey(c.wrong_key ? std::span(other) : std::span(key)));
    }

    std::int64_t decoded = 0;
    EXPECT_EQ(reader_->ReadFileContent(0, decoded), c.accepted) << Status();
    EXPECT_EQ(reader_->ExtractFile(0), c.accepted) << Status();
    if (c.accepted) {
      EXPECT_EQ(Status(), "Extracted");
      if (c.damaged_block < 0) {
        EXPECT_EQ(ReadFileBytes(Out("data.bin")), Joined(parts));
      }
    } else {
      EXPECT_EQ(Status(), "File corrupt");
      // the file that came out wrong is not left behind
      EXPECT_FALSE(fs::exists(Out("data.bin")));
      EXPECT_FALSE(reader_->TerminationRequested());
    }
  }
}

// A file ended by a header with bitcount 0 instead of a last-block flag is checked too.
TEST_F(ProtectionTest, AFileEndedByAnEmptyHeaderIsChecked) {
  const auto data = testing::RandomBytes(64, 4);
  for (bool right : {true, false}) {
    RawPackage pkg;
    pkg.files.push_back({.filename = u"end.bin",
                         .blocks = {Stored(data, false), {.bitcount = 0}},
                         .contentcrc = Crc32(data.data(), data.size()) ^ (right ? 0u : 1u)});
    fs::remove_all(dir_ / "out");
    Open(pkg);
    EXPECT_EQ(reader_->ExtractFile(0), right) << Status();
    EXPECT_EQ(fs::exists(Out("end.bin")), right);
  }
}

RawPackage PasswordPackage(const std::string& password, CipherState& state,
                           const std::vector<std::uint8_t>& content) {
  PasswordData d;
  for (std::size_t i = 0; i < kSaltBytes; ++i) d.salt[i] = static_cast<std::uint8_t>(i * 7 + 1);
  d.iterations = 100;
  const PasswordKey k = DerivePasswordKey(password, d.salt, d.iterations);
  d.verifier = k.verifier;
  EXPECT_TRUE(MakeCipherState(k.key, state));
  RawPackage pkg;
  pkg.encrypted = 1;
  pkg.cipher = &state;
  pkg.header_reserved.assign(568, 0);
  ExtensionBuilder b(pkg.header_reserved);
  EXPECT_TRUE(AddPasswordData(b, d));
  b.Finish();
  pkg.files.push_back({.filename = u"secret.bin",
                       .chainleft = 0x1234,
                       .chainright = 0x5678,
                       .blocks = {Stored(content, true)},
                       .contentcrc = Crc32(content.data(), content.size())});
  return pkg;
}

// A wrong password keys nothing, so the file step refuses before it creates a file; the right one
// opens the package.
TEST_F(ProtectionTest, WrongPasswordIsRefusedBeforeAnyByteIsDeciphered) {
  const auto content = testing::RandomBytes(4096, 5);
  CipherState state;
  Open(PasswordPackage("open sesame", state, content));
  ASSERT_TRUE(ReadPasswordData(reader_->header));
  for (std::string_view wrong : {"open sesam", "Open sesame", ""}) {
    EXPECT_EQ(reader_->SetPassword(wrong), PasswordCheck::kWrong) << wrong;
    EXPECT_FALSE(reader_->keyed());
    EXPECT_FALSE(reader_->ExtractFile(0));
    EXPECT_EQ(reader_->statustext, kStatusNoKey);
    EXPECT_FALSE(fs::exists(dir_ / "out"));
  }
  EXPECT_EQ(reader_->SetPassword("open sesame"), PasswordCheck::kAccepted);
  EXPECT_TRUE(reader_->keyed());
  ASSERT_TRUE(reader_->ExtractFile(0)) << Status();
  EXPECT_EQ(ReadFileBytes(Out("secret.bin")), content);

  // a raw-key package has no password data to check a password against
  RawPackage raw;
  raw.encrypted = 1;
  raw.files.push_back({.filename = u"x.bin", .blocks = {Stored(content, true)}});
  PackageReader other(*fs_);
  const auto a = testing::Assemble(raw);
  testing::WriteFileBytes(dir_ / "raw.exe", a.bytes);
  other.programpath = pack::PackagePath(dir_ / "raw.exe");
  other.packageoffset = a.packageoffset;
  other.packageend = a.packageend;
  ASSERT_TRUE(other.OpenPackage());
  EXPECT_EQ(other.SetPassword("open sesame"), PasswordCheck::kNoPasswordData);
  EXPECT_FALSE(other.keyed());
}

// How setup tells the packages apart before it shows a page.
TEST_F(ProtectionTest, ProtectionIsReadFromTheHeader) {
  const auto content = testing::RandomBytes(64, 6);
  CipherState state;
  RawPackage plain;
  plain.files.push_back({.filename = u"p", .blocks = {Stored(content, true)}});
  RawPackage raw = plain;
  raw.encrypted = 1;
  // password data asking for more than the most setup does, once 20 million (40 s a try)
  RawPackage costly = raw;
  std::uint8_t item[kPasswordItemBytes] = {kPasswordSchemePbkdf2Sha256};
  StoreLe32(item + 1 + kSaltBytes, 10000001);
  costly.header_reserved.resize(sizeof(PackageHeader::reserved2080));
  ExtensionBuilder b(costly.header_reserved);
  b.Add(HeaderTag::kPassword, std::span<const std::uint8_t>(item));
  b.Finish();
  const std::pair<RawPackage, PackageProtection> cases[] = {
      {plain, PackageProtection::kPlain},
      {raw, PackageProtection::kRawKey},
      {PasswordPackage("pw", state, content), PackageProtection::kPassword},
      {costly, PackageProtection::kTooCostly},
  };
  for (const auto& [pkg, want] : cases) {
    const auto a = testing::Assemble(pkg);
    testing::WriteFileBytes(dir_ / "p.exe", a.bytes);
    auto file = fs_->NewFile();
    ASSERT_TRUE(file->OpenRead(pack::PackagePath(dir_ / "p.exe")));
    ConfigRecord config{};
    config.packageoffset = a.packageoffset;
    PackageHeader header{};
    EXPECT_EQ(ReadPackageProtection(*file, config, header), want);
    config.packageoffset = static_cast<std::int32_t>(a.bytes.size()) - 10;
    EXPECT_EQ(ReadPackageProtection(*file, config, header), PackageProtection::kUnreadable);
  }
}

}  // namespace
}  // namespace kestrel
