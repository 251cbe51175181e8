// How the file step and the directory read meet the file system: the directory read in pieces
// with its one-record-at-a-time fallback, the folder chain searched once per folder, and the
// POSIX layer's file creation and attributes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "forwarding_fs.h"
#include "installengine/extract.h"
#include "pack/tools.h"
#include "package/pkgfile.h"
#include "package_fixture.h"
#include "sysutil/cmfconst.h"
#include "sysutil/codepage.h"

// the fixtures name only the fields a case is about
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::Assemble;
using testing::RawPackage;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::Stored;

// The host file system, counting directory searches and failing every read that touches one
// byte position of the package (an unreadable spot in its directory).
class ProbeFileSystem final : public testing::ForwardingFileSystem {
 public:
  ProbeFileSystem() : ForwardingFileSystem(Host()) {}
  std::int64_t bad_position = -1;
  int searches = 0;
  // what every created file reports as its attributes; unset: nothing is reported
  std::optional<std::uint32_t> reported;
  std::vector<std::uint32_t> applied;  // every ApplyAttributes value, in order

  struct ProbeFile final : testing::ForwardingFile {
    ProbeFile(std::unique_ptr<PackageFile> f, const ProbeFileSystem& owner)
        : ForwardingFile(std::move(f)), owner_(owner) {}
    std::uint32_t Read(void* b, std::uint32_t& n) override {
      const std::int64_t at = f_->Position();
      if (owner_.bad_position >= at && owner_.bad_position < at + n) {
        n = 0;
        return 0;
      }
      return f_->Read(b, n);
    }
    bool Attributes(std::uint32_t& a) override {
      if (owner_.reported) a = *owner_.reported;
      return owner_.reported.has_value();
    }
    const ProbeFileSystem& owner_;
  };

  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<ProbeFile>(host_.NewFile(), *this);
  }
  bool FindEntry(const std::u16string& p, bool& d) override {
    ++searches;
    return host_.FindEntry(p, d);
  }
  bool ApplyAttributes(const std::u16string& p, std::uint32_t a) override {
    applied.push_back(a);
    return host_.ApplyAttributes(p, a);
  }

 private:
  static FileSystem& Host() {
    static const std::unique_ptr<FileSystem> host = MakeHostFileSystem();
    return *host;
  }
};

std::u16string Name(int i) {
  return u"f" + Utf8ToUtf16(std::to_string(i));
}

class ExtractIoTest : public ::testing::Test {
 protected:
  // Writes the package and points the reader at it; OpenPackage is left to the case.
  void Prepare(const RawPackage& pkg) {
    assembled_ = Assemble(pkg);
    setup_ = dir_ / "setup.exe";
    testing::WriteFileBytes(setup_, assembled_.bytes);
    reader_.programpath = pack::PackagePath(setup_);
    reader_.packageoffset = assembled_.packageoffset;
    reader_.packageend = assembled_.packageend;
    reader_.destfolder = pack::PackagePath(dir_ / "out");
  }
  // Where the directory record of file `i` (of `count`) lies in the setup file.
  std::int64_t RecordPosition(int i, int count) const {
    return assembled_.packageend - static_cast<std::int64_t>(kDirectoryTrailerSize) -
           static_cast<std::int64_t>(kDirectoryRecordSize) * (count - i);
  }
  std::string Status() const { return Utf16ToUtf8(reader_.statustext); }

  ScratchDir dir_;
  fs::path setup_;
  testing::Assembled assembled_;
  ProbeFileSystem probe_;
  PackageReader reader_{probe_};
};

RawPackage ManyFiles(int count) {
  RawPackage pkg;
  for (int i = 0; i < count; ++i) {
    pkg.files.push_back(
        {.filename = Name(i),
         .subfolder = i % 2 ? u"\\odd" : u"",
         .filesize = i,
         .blocks = {Stored({static_cast<std::uint8_t>(i), 1, 2, 3, 4, 5, 6, 7}, true)}});
  }
  return pkg;
}

TEST_F(ExtractIoTest, DirectoryLongerThanOneReadKeepsFileOrder) {
  constexpr int kCount = 100;  // several pieces of the directory read, the last one partial
  Prepare(ManyFiles(kCount));
  ASSERT_TRUE(reader_.OpenPackage());
  ASSERT_EQ(reader_.records.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(ReadWide(reader_.records[i].filename), Name(i));
    EXPECT_EQ(reader_.records[i].filesize, i);
  }
  ASSERT_TRUE(reader_.ExtractFile(kCount - 1)) << Status();
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / "odd" / "f99"),
            (std::vector<std::uint8_t>{99, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(ExtractIoTest, UnreadableRecordKeepsOnlyTheRecordsBehindIt) {
  constexpr int kCount = 40;
  Prepare(ManyFiles(kCount));
  // record 25 cannot be read: read from the last file back, 26 to 39 were read before it
  probe_.bad_position = RecordPosition(25, kCount) + 100;
  EXPECT_FALSE(reader_.OpenPackage());
  EXPECT_FALSE(reader_.opened());
  ASSERT_EQ(reader_.records.size(), static_cast<std::size_t>(kCount - 26));
  for (std::size_t k = 0; k < reader_.records.size(); ++k) {
    EXPECT_EQ(ReadWide(reader_.records[k].filename), Name(26 + static_cast<int>(k)));
  }
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusNotOpened);

  // the last record unreadable: nothing is kept
  probe_.bad_position = RecordPosition(kCount - 1, kCount);
  EXPECT_FALSE(reader_.OpenPackage());
  EXPECT_TRUE(reader_.records.empty());
}

TEST_F(ExtractIoTest, FolderChainIsSearchedOncePerRunOfFilesInOneFolder) {
  RawPackage pkg;
  for (int i = 0; i < 4; ++i) {
    pkg.files.push_back({.filename = Name(i),
                         .subfolder = i < 3 ? u"\\a\\b" : u"\\c",
                         .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}});
  }
  Prepare(pkg);
  ASSERT_TRUE(reader_.OpenPackage());
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_GT(probe_.searches, 0);
  probe_.searches = 0;
  ASSERT_TRUE(reader_.ExtractFile(1)) << Status();
  ASSERT_TRUE(reader_.ExtractFile(2)) << Status();
  EXPECT_EQ(probe_.searches, 0);
  ASSERT_TRUE(reader_.ExtractFile(3)) << Status();  // another folder: searched again
  EXPECT_GT(probe_.searches, 0);
  for (const char* rel : {"a/b/f0", "a/b/f1", "a/b/f2", "c/f3"}) {
    EXPECT_EQ(fs::file_size(dir_ / "out" / rel), 8u) << rel;
  }
}

// Attributes are set only when the record wants others than creating the file gave; when the
// file cannot tell, they are set every time, as before.
TEST_F(ExtractIoTest, AttributesAreSetOnlyWhenTheyDifferFromTheCreatedFile) {
  RawPackage pkg;
  const std::uint8_t wanted[] = {0x20, 0x21, 0x20, 0x80, 0x22, 0x20};
  for (int i = 0; i < 6; ++i) {
    pkg.files.push_back({.filename = Name(i),
                         .attributes = wanted[i],
                         .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}});
  }
  Prepare(pkg);
  ASSERT_TRUE(reader_.OpenPackage());
  for (std::optional<std::uint32_t> reported :
       {std::optional<std::uint32_t>(0x20), std::optional<std::uint32_t>(0x2020),
        std::optional<std::uint32_t>()}) {
    probe_.reported = reported;
    probe_.applied.clear();
    for (std::size_t i = 0; i < 6; ++i) {
      ASSERT_TRUE(reader_.ExtractFile(i)) << Status();
      EXPECT_EQ(Status(), "Extracted");
    }
    std::vector<std::uint32_t> expect;
    for (std::uint8_t w : wanted) {
      if (!reported || *reported != w) expect.push_back(w);
    }
    EXPECT_EQ(probe_.applied, expect) << (reported ? *reported : 0);
  }
  // the read-only file really is read-only on the host
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "out" / "f1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

TEST_F(ExtractIoTest, FolderRemovedBetweenFilesIsMadeAgainOrReportedAsBefore) {
  RawPackage pkg;
  for (int i = 0; i < 4; ++i) {
    pkg.files.push_back({.filename = Name(i),
                         .subfolder = u"\\sub\\deep",
                         .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}});
  }
  Prepare(pkg);
  ASSERT_TRUE(reader_.OpenPackage());
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();

  fs::remove_all(dir_ / "out" / "sub");
  ASSERT_TRUE(reader_.ExtractFile(1)) << Status();
  EXPECT_EQ(fs::file_size(dir_ / "out" / "sub" / "deep" / "f1"), 8u);

  // a file where the folder stood: the same outcome as when the chain is searched each time
  fs::remove_all(dir_ / "out" / "sub");
  testing::WriteFileBytes(dir_ / "out" / "sub", {1});
  EXPECT_FALSE(reader_.ExtractFile(2));
  EXPECT_EQ(reader_.statustext, kStatusNoFolder);

  // and a file that already stands in the known folder is still seen when overwrite is off
  fs::remove(dir_ / "out" / "sub");
  ASSERT_TRUE(reader_.ExtractFile(2)) << Status();
  testing::WriteFileBytes(dir_ / "out" / "sub" / "deep" / "f3", {9});
  reader_.overwrite = false;
  EXPECT_FALSE(reader_.ExtractFile(3));
  EXPECT_EQ(reader_.statustext, kStatusFileExists);
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / "sub" / "deep" / "f3"), std::vector<std::uint8_t>{9});
}

TEST(PosixLayer, CreateWriteMakesMissingFoldersAndRefusesAFileInTheWay) {
  ScratchDir dir;
  auto host = MakeHostFileSystem();
  auto f = host->NewFile();
  ASSERT_TRUE(f->CreateWrite(pack::PackagePath(dir / "x" / "y" / "z.bin")));
  EXPECT_TRUE(f->Write("abc", 3));
  f->Close();
  EXPECT_EQ(fs::file_size(dir / "x" / "y" / "z.bin"), 3u);
  // replacing an existing file truncates it
  ASSERT_TRUE(f->CreateWrite(pack::PackagePath(dir / "x" / "y" / "z.bin")));
  f->Close();
  EXPECT_EQ(fs::file_size(dir / "x" / "y" / "z.bin"), 0u);
  testing::WriteFileBytes(dir / "blocker", {1});
  EXPECT_FALSE(f->CreateWrite(pack::PackagePath(dir / "blocker" / "z.bin")));
  EXPECT_FALSE(f->IsOpen());
  EXPECT_FALSE(fs::is_directory(dir / "blocker"));
}

TEST(PosixLayer, ReadOnlyAttributeIsTheOneThatChangesTheMode) {
  ScratchDir dir;
  auto host = MakeHostFileSystem();
  const fs::path p = dir / "file";
  testing::WriteFileBytes(p, {1});
  ::chmod(p.c_str(), 0640);
  auto mode = [&] {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
  };
  EXPECT_TRUE(host->ApplyAttributes(pack::PackagePath(p), 0x20));  // archive: nothing to do
  EXPECT_EQ(mode(), 0640u);
  EXPECT_TRUE(host->ApplyAttributes(pack::PackagePath(p), 0x21));  // read-only
  EXPECT_EQ(mode(), 0440u);
  EXPECT_TRUE(host->ApplyAttributes(pack::PackagePath(p), 0x20));  // never made writable again
  EXPECT_EQ(mode(), 0440u);
  EXPECT_FALSE(host->ApplyAttributes(pack::PackagePath(dir / "missing"), 0x20));
}

TEST(PosixLayer, LargeBufferHintKeepsTheContent) {
  auto host = MakeHostFileSystem();
  std::vector<std::uint8_t> big(5u << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 1);
  host->PrepareLargeBuffer(big.data() + 3, big.size() - 5);  // unaligned ends too
  host->PrepareLargeBuffer(big.data(), 10);                  // less than a page
  for (std::size_t i = 0; i < big.size(); ++i) {
    ASSERT_EQ(big[i], static_cast<std::uint8_t>(i * 7 + 1)) << i;
  }
}

}  // namespace
}  // namespace kestrel
