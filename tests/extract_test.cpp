#include "installengine/extract.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "forwarding_fs.h"
#include "pack/tools.h"
#include "package_fixture.h"
#include "sysutil/cmfconst.h"
#include "sysutil/codepage.h"

// the fixtures name only the fields a case is about
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::Assemble;
using testing::RawBlock;
using testing::RawFile;
using testing::RawPackage;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::Stored;

// A package written to disk and opened the way the installer opens it.
class ExtractTest : public ::testing::Test {
 protected:
  void Open(const RawPackage& pkg, bool expect_open = true) {
    const auto a = Assemble(pkg);
    setup_ = dir_ / "setup.exe";
    testing::WriteFileBytes(setup_, a.bytes);
    reader_.programpath = pack::PackagePath(setup_);
    reader_.packageoffset = a.packageoffset;
    reader_.packageend = a.packageend;
    reader_.destfolder = pack::PackagePath(dir_ / "out");
    reader_.showprogress = [this](std::int32_t p) { progress_.push_back(p); };
    ASSERT_EQ(reader_.OpenPackage(), expect_open);
  }
  // A second reader of the opened package, over another file system, opened.
  std::unique_ptr<PackageReader> OpenOver(FileSystem& fs) const {
    auto reader = std::make_unique<PackageReader>(fs);
    reader->programpath = reader_.programpath;
    reader->packageoffset = reader_.packageoffset;
    reader->packageend = reader_.packageend;
    reader->destfolder = reader_.destfolder;
    reader->overwrite = reader_.overwrite;
    EXPECT_TRUE(reader->OpenPackage());
    return reader;
  }
  std::string Status() const { return Utf16ToUtf8(reader_.statustext); }
  fs::path Out(const std::string& rel) const { return dir_ / "out" / rel; }

  ScratchDir dir_;
  fs::path setup_;
  std::unique_ptr<FileSystem> fs_ = MakeHostFileSystem();
  PackageReader reader_{*fs_};
  std::vector<std::int32_t> progress_;
};

TEST_F(ExtractTest, StoredBlocksAreWrittenWholeAndProgressFollowsEveryNonFinalBlock) {
  const auto first = testing::RandomBytes(65536, 1);
  const auto second = testing::RandomBytes(24, 2);
  RawPackage pkg;
  pkg.files.push_back({.filename = u"data.bin",
                       .subfolder = u"\\sub\\deep",
                       .blocks = {Stored(first, false), Stored(second, true)}});
  Open(pkg);
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_EQ(Status(), "Extracted");
  auto expect = first;
  expect.insert(expect.end(), second.begin(), second.end());
  EXPECT_EQ(ReadFileBytes(Out("sub/deep/data.bin")), expect);
  // the share of the package consumed after the first block, scaled to 90
  ASSERT_EQ(progress_.size(), 1u);
  const std::int64_t consumed = kPackageHeaderSize + kBlockHeaderSize + 65536;
  const std::int64_t span = static_cast<std::int64_t>(fs::file_size(setup_)) - 100;
  EXPECT_EQ(progress_[0], consumed * 90 / span);
  EXPECT_EQ(reader_.progress, progress_[0]);
  EXPECT_FALSE(reader_.TerminationRequested());
}

TEST_F(ExtractTest, RecordsAreKeptInFileOrder) {
  RawPackage pkg;
  for (int i = 0; i < 3; ++i) {
    pkg.files.push_back(
        {.filename = u"f" + std::u16string(1, static_cast<char16_t>(u'0' + i)),
         .blocks = {Stored({static_cast<std::uint8_t>(i), 0, 0, 0, 0, 0, 0, 0}, true)}});
  }
  Open(pkg);
  ASSERT_EQ(reader_.records.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ReadWide(reader_.records[i].filename),
              u"f" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
    ASSERT_TRUE(reader_.ExtractFile(i));
    EXPECT_EQ(ReadFileBytes(Out("f" + std::to_string(i)))[0], i);
  }
}

TEST_F(ExtractTest, ZeroBitcountEndsTheFileWhateverItsMarker) {
  RawBlock end;
  end.marker = 0x99;  // garbage: the bitcount test comes first
  end.bitcount = 0;
  RawPackage pkg;
  pkg.files.push_back({.filename = u"empty.txt", .attributes = 0x01, .blocks = {end}});
  Open(pkg);
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_EQ(Status(), "Extracted");
  EXPECT_EQ(fs::file_size(Out("empty.txt")), 0u);
  // the read-only attribute was applied
  EXPECT_EQ(fs::status(Out("empty.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(ExtractTest, HeaderReadComingUpShortEndsTheFileSuccessfully) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"tail.bin", .dataoffset = 0});
  const auto size = Assemble(pkg).bytes.size();
  pkg.files[0].dataoffset = static_cast<std::int64_t>(size) - 100 - 5;  // 5 bytes before the end
  Open(pkg);
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_EQ(fs::file_size(Out("tail.bin")), 0u);
}

TEST_F(ExtractTest, BrokenBlocksFailWithFileCorrupt) {
  RawBlock bad = Stored(testing::RandomBytes(16, 3), true);
  bad.marker = 0x44;
  RawBlock huge;
  huge.bitcount = kMaxBlockBits + 1;  // would not fit the transfer buffers
  huge.lastblock = 1;
  huge.payload = testing::RandomBytes(65544, 4);
  RawBlock reserved_code;  // length code 30, which no valid stream holds
  reserved_code.coded = 1;
  reserved_code.bitcount = 40;
  reserved_code.payload = {0xC6, 0, 0, 0, 0, 0, 0, 0};
  reserved_code.lastblock = 1;
  RawPackage pkg;
  pkg.files.push_back(
      {.filename = u"a", .blocks = {Stored(testing::RandomBytes(8, 5), false), bad}});
  pkg.files.push_back({.filename = u"b", .blocks = {huge}});
  pkg.files.push_back({.filename = u"c", .blocks = {reserved_code}});
  Open(pkg);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(reader_.ExtractFile(i)) << i;
    EXPECT_EQ(Status(), "File corrupt") << i;
  }
  // the good first block of "a" stays on disk; no termination for a corrupt file
  EXPECT_EQ(fs::file_size(Out("a")), 8u);
  EXPECT_FALSE(reader_.TerminationRequested());
}

TEST_F(ExtractTest, LargestBlockIsAccepted) {
  const auto data = testing::RandomBytes(65536, 6);
  RawPackage pkg;
  pkg.files.push_back({.filename = u"max", .blocks = {Stored(data, true)}});
  ASSERT_EQ(pkg.files[0].blocks[0].bitcount, kMaxBlockBits);
  Open(pkg);
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_EQ(ReadFileBytes(Out("max")), data);
}

TEST_F(ExtractTest, TruncatedPayloadFailsAndRequestsTermination) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"cut", .dataoffset = 0});
  const auto a = Assemble(pkg);
  // a header announcing 64 payload bytes, 20 bytes before the file's end
  auto bytes = a.bytes;
  BlockHeader h{};
  h.marker = kBlockMarker;
  h.bitcount = 512;
  const std::size_t at = bytes.size() - 20 - sizeof h;
  std::memcpy(bytes.data() + at, &h, sizeof h);
  setup_ = dir_ / "setup.exe";
  testing::WriteFileBytes(setup_, bytes);
  // the record must point at that header: patch its dataoffset in place
  DirectoryRecord r;
  const std::size_t rec = static_cast<std::size_t>(a.packageend) - 8 - sizeof r;
  std::memcpy(&r, bytes.data() + rec, sizeof r);
  r.dataoffset = static_cast<std::int64_t>(at) - a.packageoffset;
  std::memcpy(bytes.data() + rec, &r, sizeof r);
  testing::WriteFileBytes(setup_, bytes);
  reader_.programpath = pack::PackagePath(setup_);
  reader_.packageoffset = a.packageoffset;
  reader_.packageend = a.packageend;
  reader_.destfolder = pack::PackagePath(dir_ / "out");
  ASSERT_TRUE(reader_.OpenPackage());
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusReadFailed);
  EXPECT_TRUE(reader_.TerminationRequested());
}

TEST_F(ExtractTest, SeekInFrontOfTheFileFailsAndRequestsTermination) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"nowhere", .dataoffset = -1000});
  Open(pkg);
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusSeekFailed);
  EXPECT_TRUE(reader_.TerminationRequested());
  EXPECT_TRUE(fs::exists(Out("nowhere")));  // created empty and kept
}

TEST_F(ExtractTest, OverflowingDataOffsetCountsAsAFailedSeek) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"far", .dataoffset = INT64_MAX});
  Open(pkg);
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusSeekFailed);
}

TEST_F(ExtractTest, FileCountBeyondTheRecordsFailsToOpen) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"one", .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}});
  pkg.filecount = 1000;
  Open(pkg, false);
  EXPECT_FALSE(reader_.opened());
  EXPECT_FALSE(reader_.ExtractFile(0));
}

TEST_F(ExtractTest, NegativeOrZeroFileCountIsAnEmptyDirectory) {
  for (std::int32_t count : {0, -1, INT32_MIN}) {
    RawPackage pkg;
    pkg.files.push_back({.filename = u"one", .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}});
    pkg.filecount = count;
    Open(pkg);
    EXPECT_TRUE(reader_.records.empty()) << count;
  }
}

TEST_F(ExtractTest, UnsafePathsAreRefusedBeforeAnythingIsCreated) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"..", u""},
      {u".", u""},
      {u"a\\b", u""},
      {u"a/b", u""},
      {u"...", u""},
      {u"x", u"\\..\\escape"},
      {u"x", u"/sub/../../y"},
      {u"x", u"\\a\\.. \\b"},
      {u"x", u"sibling"},  // no leading separator: it would extend the folder's own name
  };
  RawPackage pkg;
  for (const auto& [name, sub] : cases) {
    pkg.files.push_back(
        {.filename = name, .subfolder = sub, .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}});
  }
  Open(pkg);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_FALSE(reader_.ExtractFile(i)) << i;
    EXPECT_EQ(reader_.statustext.rfind(kStatusUnsafePathPrefix, 0), 0u) << Status();
    EXPECT_NE(reader_.statustext.find(cases[i].first), std::u16string::npos) << Status();
  }
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  EXPECT_FALSE(fs::exists(dir_ / "escape"));
}

TEST_F(ExtractTest, TargetFolderIsUsedOnlyWithoutDestinationAndMustNotClimb) {
  const std::u16string target = pack::PackagePath(dir_ / "target");
  RawPackage pkg;
  pkg.files.push_back({.filename = u"t.bin",
                       .targetfolder = target,
                       .blocks = {Stored({9, 9, 9, 9, 9, 9, 9, 9}, true)}});
  pkg.files.push_back({.filename = u"t.bin",
                       .targetfolder = target + u"\\..\\up",
                       .blocks = {Stored({9, 9, 9, 9, 9, 9, 9, 9}, true)}});
  Open(pkg);
  reader_.destfolder.clear();
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_EQ(fs::file_size(dir_ / "target" / "t.bin"), 8u);
  EXPECT_FALSE(reader_.ExtractFile(1));
  EXPECT_EQ(reader_.statustext.rfind(kStatusUnsafePathPrefix, 0), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "up"));
}

TEST_F(ExtractTest, EmptyDestinationAndTargetCannotMakeAFolder) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"x", .blocks = {Stored({1, 1, 1, 1, 1, 1, 1, 1}, true)}});
  Open(pkg);
  reader_.destfolder.clear();
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusNoFolder);
}

TEST_F(ExtractTest, FolderChainBlockedByAFileFails) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"x",
                       .subfolder = u"\\blocker\\in",
                       .blocks = {Stored({1, 1, 1, 1, 1, 1, 1, 1}, true)}});
  Open(pkg);
  fs::create_directories(dir_ / "out");
  testing::WriteFileBytes(dir_ / "out" / "blocker", {1});
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusNoFolder);
}

TEST_F(ExtractTest, ExistingFileAndUncreatableFile) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"here", .blocks = {Stored({1, 1, 1, 1, 1, 1, 1, 1}, true)}});
  pkg.files.push_back({.filename = u"adir", .blocks = {Stored({1, 1, 1, 1, 1, 1, 1, 1}, true)}});
  Open(pkg);
  fs::create_directories(dir_ / "out" / "adir");
  testing::WriteFileBytes(dir_ / "out" / "here", {7});
  reader_.overwrite = false;
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusFileExists);
  EXPECT_EQ(ReadFileBytes(Out("here")), std::vector<std::uint8_t>{7});
  reader_.overwrite = true;
  EXPECT_TRUE(reader_.ExtractFile(0));
  EXPECT_EQ(fs::file_size(Out("here")), 8u);
  EXPECT_FALSE(reader_.ExtractFile(1));
  const std::u16string d = reader_.destfolder + u"\\adir";
  EXPECT_EQ(reader_.statustext, std::u16string(kStatusCannotCreatePrefix) + d + u")");
}

// Files of this system refuse every write.
class NoWriteFileSystem final : public testing::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  struct File final : testing::ForwardingFile {
    using ForwardingFile::ForwardingFile;
    bool Write(const void*, std::uint32_t) override { return false; }
  };
  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<File>(host_.NewFile());
  }
};

TEST_F(ExtractTest, WriteFailureIsReported) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"w", .blocks = {Stored({1, 1, 1, 1, 1, 1, 1, 1}, true)}});
  Open(pkg);
  NoWriteFileSystem nowrite(*fs_);
  auto reader = OpenOver(nowrite);
  EXPECT_FALSE(reader->ExtractFile(0));
  EXPECT_EQ(reader->statustext, kStatusWriteFailed);
  EXPECT_FALSE(reader->TerminationRequested());
}

// Attributes as Windows keeps them: a file that is read-only, hidden or system cannot be
// replaced by a create with normal attributes until they are cleared.
class AttributeFileSystem final : public testing::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  struct File final : testing::ForwardingFile {
    File(AttributeFileSystem& fs, std::unique_ptr<PackageFile> f)
        : ForwardingFile(std::move(f)), fs_(fs) {}
    bool CreateWrite(const std::u16string& p) override {
      if (fs_.attributes[p] & 0x07) return false;
      fs_.attributes[p] = 0x20;
      return f_->CreateWrite(p);
    }
    AttributeFileSystem& fs_;
  };
  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<File>(*this, host_.NewFile());
  }
  bool ApplyAttributes(const std::u16string& p, std::uint32_t a) override {
    applied.push_back(a);
    attributes[p] = a;
    return true;
  }

  std::map<std::u16string, std::uint32_t> attributes;
  std::vector<std::uint32_t> applied;
};

TEST_F(ExtractTest, InstallingAgainReplacesFilesItLeftReadOnlyHiddenOrSystem) {
  RawPackage pkg;
  for (const std::uint8_t attributes : {0x21, 0x22, 0x24}) {
    pkg.files.push_back({.filename = u"f" + std::u16string(1, char16_t(u'0' + attributes % 8)),
                         .attributes = attributes,
                         .blocks = {Stored({attributes, 2, 3, 4, 5, 6, 7, 8}, true)}});
  }
  Open(pkg);
  AttributeFileSystem windows(*fs_);
  auto reader = OpenOver(windows);
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(reader->ExtractFile(i)) << round << i;
  }
  // the second round cleared each file's attributes before replacing it, then set them again
  EXPECT_EQ(windows.applied,
            (std::vector<std::uint32_t>{0x21, 0x22, 0x24, 0x80, 0x21, 0x80, 0x22, 0x80, 0x24}));
  EXPECT_EQ(ReadFileBytes(Out("f4")), (std::vector<std::uint8_t>{0x24, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(ExtractTest, EncipheredPackageNeedsTheKey) {
  const std::uint8_t key[] = {'s', 'e', 'c', 'r', 'e', 't'};
  CipherState state;
  ASSERT_TRUE(MakeCipherState(key, state));
  const auto data = testing::RandomBytes(40, 7);
  RawPackage pkg;
  pkg.encrypted = 1;
  pkg.cipher = &state;
  pkg.files.push_back({.filename = u"secret.bin",
                       .chainleft = 0x12345678,
                       .chainright = 0x9ABCDEF0,
                       .blocks = {Stored(data, true)}});
  Open(pkg);
  EXPECT_FALSE(reader_.ExtractFile(0));
  EXPECT_EQ(reader_.statustext, kStatusNoKey);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  ASSERT_FALSE(reader_.SetKey({}));
  ASSERT_TRUE(reader_.SetKey(key));
  ASSERT_TRUE(reader_.ExtractFile(0)) << Status();
  EXPECT_EQ(ReadFileBytes(Out("secret.bin")), data);
}

TEST_F(ExtractTest, ReadFileContentCountsWithoutWriting) {
  RawPackage pkg;
  pkg.files.push_back({.filename = u"count.bin",
                       .blocks = {Stored(testing::RandomBytes(65536, 8), false),
                                  Stored(testing::RandomBytes(16, 9), true)}});
  Open(pkg);
  std::int64_t decoded = 0;
  ASSERT_TRUE(reader_.ReadFileContent(0, decoded)) << Status();
  EXPECT_EQ(decoded, 65552);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(ExtractTest, MissingSetupMarkerIsNoPackage) {
  RawPackage pkg;
  pkg.marker = false;
  const auto a = Assemble(pkg);
  testing::WriteFileBytes(dir_ / "plain.exe", a.bytes);
  ConfigRecord config;
  std::string error;
  EXPECT_FALSE(pack::ReadConfiguration(dir_ / "plain.exe", config, error));
  EXPECT_EQ(error.rfind("No install files attached!", 0), 0u) << error;
  testing::WriteFileBytes(dir_ / "short.exe", {'M', 'Z'});
  EXPECT_FALSE(pack::ReadConfiguration(dir_ / "short.exe", config, error));
  EXPECT_EQ(error.rfind("Unable to read from setup file!", 0), 0u) << error;
  EXPECT_FALSE(pack::ReadConfiguration(dir_ / "missing.exe", config, error));
  EXPECT_EQ(error.rfind("Unable to find Setup Files in ", 0), 0u) << error;
}

TEST(PathSafety, ParentStepsAndPlainNames) {
  EXPECT_TRUE(HasParentStep(u".."));
  EXPECT_TRUE(HasParentStep(u"\\a\\..\\b"));
  EXPECT_TRUE(HasParentStep(u"a/../b"));
  EXPECT_TRUE(HasParentStep(u"\\.. "));
  EXPECT_FALSE(HasParentStep(u"\\a\\.\\b"));
  EXPECT_FALSE(HasParentStep(u"\\a..b\\c"));
  EXPECT_FALSE(HasParentStep(u""));
  EXPECT_TRUE(IsPlainFileName(u"setup.exe"));
  EXPECT_TRUE(IsPlainFileName(u"..hidden"));
  EXPECT_FALSE(IsPlainFileName(u".."));
  EXPECT_FALSE(IsPlainFileName(u". "));
  EXPECT_FALSE(IsPlainFileName(u"a\\b"));
  EXPECT_FALSE(IsPlainFileName(u"a/b"));
}

}  // namespace
}  // namespace kestrel
