// Hostile inputs to the packer, `verify` and `extract`: names Windows cannot create or opens as
// devices, records the two readers might judge differently, broken layouts, names that would
// drive a terminal, links in and around the folders, inputs that are not files, an output that
// is one of the inputs, and a build stopped by a signal. Each case here was once accepted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "installengine/extract.h"
#include "pack/manifest.h"
#include "pack/tools.h"
#include "pack/writer.h"
#include "package/directory.h"
#include "package/extension.h"
#include "package/pkgfile.h"
#include "package/startload.h"
#include "package_fixture.h"
#include "pe_fixture.h"
#include "sysutil/cmfconst.h"
#include "sysutil/codepage.h"

// the fixtures name only the fields a case is about
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestrel::pack {
namespace {

namespace fs = std::filesystem;
using kestrel::testing::Assemble;
using kestrel::testing::RawFile;
using kestrel::testing::RawPackage;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::ScratchDir;
using kestrel::testing::Stored;
using kestrel::testing::WriteFileBytes;

constexpr const char* kHead = "displayname = \"Tool\"\nexename = \"tool.exe\"\n";

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

std::vector<std::uint8_t> FakePe(std::size_t size = 1000) {
  std::vector<std::uint8_t> b(size, 0xAB);
  b[0] = 'M';
  b[1] = 'Z';
  b[0x3C] = 0x80;
  b[0x3D] = b[0x3E] = b[0x3F] = 0;
  b[0x80] = 'P';
  b[0x81] = 'E';
  b[0x82] = b[0x83] = 0;
  // a current setup program, which reads the compact directory
  const std::string_view mark = kCompactDirectoryCapability;
  if (size >= 0x100 + mark.size()) std::memcpy(&b[0x100], mark.data(), mark.size());
  if (size >= 0x140 + kLzma2Capability.size())
    std::memcpy(&b[0x140], kLzma2Capability.data(), kLzma2Capability.size());
  return b;
}

// One stored 8-byte file: the smallest record that extracts.
RawFile OneFile(std::u16string filename, std::u16string subfolder = u"",
                std::u16string targetfolder = u"") {
  return {.filename = std::move(filename),
          .subfolder = std::move(subfolder),
          .targetfolder = std::move(targetfolder),
          .filesize = 8,
          .blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, true)}};
}

std::size_t Entries(const fs::path& folder) {
  std::error_code ec;
  std::size_t n = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}

class HostileTest : public ::testing::Test {
 protected:
  fs::path Package(const RawPackage& pkg, const std::string& name = "setup.exe") {
    const auto a = Assemble(pkg);
    WriteFileBytes(dir_ / name, a.bytes);
    return dir_ / name;
  }
  int Verify(const fs::path& setup, std::string& text) {
    std::ostringstream out, err;
    const int rc = VerifyPackage(setup, Unlock{}, out, err);
    text = out.str() + err.str();
    return rc;
  }
  int Extract(const fs::path& setup, const fs::path& folder, std::string& text) {
    std::ostringstream out, err;
    const int rc = ExtractPackage(setup, folder, Unlock{}, out, err);
    text = out.str() + err.str();
    return rc;
  }
  int List(const fs::path& setup, std::string& text) {
    std::ostringstream out, err;
    const int rc = ListPackage(setup, out, err);
    text = out.str() + err.str();
    return rc;
  }
  void Source(const std::string& rel, const std::string& content = "x") {
    fs::create_directories((dir_ / "src" / rel).parent_path());
    WriteFileBytes(dir_ / "src" / rel, Bytes(content));
  }
  bool Parse(const std::string& toml) {
    error_.clear();
    manifest_ = Manifest{};
    return ParseManifest(toml, dir_.path(), manifest_, error_);
  }

  ScratchDir dir_;
  Manifest manifest_;
  std::string error_;
};

// ---- one judgement for verify and extract ----

struct RecordCase {
  std::u16string filename, subfolder, targetfolder;
  bool ok;
  const char* why;
};

TEST_F(HostileTest, VerifyAndExtractJudgeEveryRecordAlikeAndRefuseBeforeCreatingAnything) {
  const std::vector<RecordCase> cases = {
      {u"plain.txt", u"", u"", true, "a plain name"},
      {u"data.bin", u"\\Data", u"\\..\\..\\anywhere", true,
       "targetfolder is never used below a destination"},
      {u"com10.txt", u"", u"", true, "COM10 is no device"},
      {u"console.log", u"\\nully", u"", true, "CON and NUL only as the whole stem"},
      {u"\u00C4rger.txt", u"\\\u0416", u"", true, "non-ASCII names"},
      {u"x.txt", u"\\..\\..\\up", u"C:\\fine", false, "climbing subfolder, fine targetfolder"},
      {u"x", u"/../y", u"", false, "slash climb"},
      {u"x", u"\\a\\..\\..\\b", u"", false, "climb past the start"},
      {u"x", u"\\.. \\y", u"", false, "dots and a blank"},
      {u"x", u"\\...\\y", u"", false, "three dots"},
      {u"x", u"\\ ..\\y", u"", false, "blank and dots"},
      {u"x", u"sibling", u"", false, "no leading separator"},
      {u"x", u"\\a\\\\b", u"", false, "empty component"},
      {u"", u"", u"", false, "empty file name"},
      {std::u16string(1024, u'n'), u"", u"", false, "1024-unit file name"},
      {std::u16string(256, u'n'), u"", u"", false, "256-unit file name"},
      {u"x", u"\\" + std::u16string(256, u'd'), u"", false, "256-unit folder name"},
      {u"nul.txt", u"", u"", false, "NUL with an extension"},
      {u"COM1.log", u"", u"", false, "COM1 with an extension"},
      {u"aux", u"", u"", false, "AUX alone"},
      {u"Con", u"", u"", false, "CON in mixed case"},
      {u"prn.tar.gz", u"", u"", false, "PRN with two extensions"},
      {u"lpt9", u"", u"", false, "LPT9"},
      {u"COM\u00B9.txt", u"", u"", false, "COM with a superscript one"},
      {u"CONOUT$", u"", u"", false, "the console output"},
      {u"nul .txt", u"", u"", false, "NUL with a blank before the extension"},
      {u"x.txt", u"\\con\\sub", u"", false, "CON as a folder"},
      {u"x.txt", u"\\sub\\LPT1.d", u"", false, "LPT1 as a folder with an extension"},
      {u"a:b", u"", u"", false, "a stream name"},
      {u"a\x1b[2J", u"", u"", false, "a control character"},
      {u"trail.", u"", u"", false, "a trailing dot"},
      {u"trail ", u"", u"", false, "a trailing blank"},
      {u"a*b", u"", u"", false, "a wildcard"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    RawPackage pkg;
    pkg.files.push_back(OneFile(c.filename, c.subfolder, c.targetfolder));
    const fs::path setup = Package(pkg);
    std::string text;
    EXPECT_EQ(Verify(setup, text), c.ok ? 0 : 1) << text;
    const fs::path out = dir_ / ("out" + std::to_string(n++));
    EXPECT_EQ(Extract(setup, out, text), c.ok ? 0 : 1) << text;
    if (c.ok) {
      EXPECT_EQ(Entries(out), 1u) << text;
    } else {
      EXPECT_EQ(Entries(out), 0u) << "something was created: " << text;
      EXPECT_NE(text.find("Unsafe path in package"), std::string::npos) << text;
    }
  }
}

TEST_F(HostileTest, TheFileStepRefusesDeviceNamesEvenWithoutADestination) {
  // the installer's own path: a record with only a targetfolder
  RawPackage pkg;
  pkg.files.push_back(OneFile(u"nul.txt", u"", pack::PackagePath(dir_ / "target")));
  pkg.files.push_back(OneFile(u"ok.txt", u"", pack::PackagePath(dir_ / "target" / "aux")));
  const auto a = Assemble(pkg);
  WriteFileBytes(dir_ / "setup.exe", a.bytes);
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  reader.programpath = pack::PackagePath(dir_ / "setup.exe");
  reader.packageoffset = a.packageoffset;
  reader.packageend = a.packageend;
  ASSERT_TRUE(reader.OpenPackage());
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_FALSE(reader.ExtractFile(i)) << i;
    EXPECT_EQ(reader.statustext.rfind(kStatusUnsafePathPrefix, 0), 0u);
  }
  EXPECT_FALSE(fs::exists(dir_ / "target"));
}

// ---- layout and content ----

TEST_F(HostileTest, ExtractFailsWhenTheDecodedLengthDiffersFromTheDirectory) {
  RawPackage pkg;
  RawFile f = OneFile(u"short.bin");
  f.filesize = 100;
  pkg.files.push_back(f);
  const fs::path setup = Package(pkg);
  std::string text;
  EXPECT_EQ(Extract(setup, dir_ / "out", text), 1) << text;
  EXPECT_NE(text.find("the directory says 100"), std::string::npos) << text;
  // a file that failed its check does not stay in the output looking extracted
  EXPECT_FALSE(fs::exists(dir_ / "out" / "short.bin"));
  EXPECT_EQ(Verify(setup, text), 1) << text;

  // nor one whose second block is damaged
  RawPackage broken;
  RawFile g = OneFile(u"broken.bin");
  g.filesize = 16;
  g.blocks = {Stored({1, 2, 3, 4, 5, 6, 7, 8}, false), Stored({9, 9, 9, 9, 9, 9, 9, 9}, true)};
  g.blocks[1].marker = 0x42;
  broken.files.push_back(g);
  EXPECT_EQ(Extract(Package(broken, "broken.exe"), dir_ / "out2", text), 1) << text;
  EXPECT_NE(text.find("File corrupt"), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(dir_ / "out2" / "broken.bin"));
}

// Shared content lets a small package write far more than its size, and a crafted directory
// may name any sizes: list, verify and extract tell the total (without wrapping the sum), and
// extract refuses what its output's volume cannot hold before it writes anything.
TEST_F(HostileTest, WhatAPackageWritesIsToldAndMustFitTheOutputVolume) {
  RawPackage pkg;
  RawFile shared = OneFile(u"a.bin");
  pkg.files.push_back(shared);
  for (const char16_t* name : {u"b.bin", u"c.bin"}) {
    RawFile f = OneFile(name);
    f.blocks.clear();
    f.dataoffset = kPackageHeaderSize;  // a's blocks, stored once
    pkg.files.push_back(f);
  }
  std::string text;
  const fs::path small = Package(pkg, "small.exe");
  EXPECT_EQ(List(small, text), 0) << text;
  EXPECT_NE(text.find("Installs:       24 bytes in 3 files"), std::string::npos) << text;
  EXPECT_EQ(Verify(small, text), 0) << text;
  EXPECT_NE(text.find("Installs:       24 bytes in 3 files"), std::string::npos) << text;
  EXPECT_EQ(Extract(small, dir_ / "out", text), 0) << text;
  EXPECT_NE(text.find("Installs:       24 bytes in 3 files"), std::string::npos) << text;
  EXPECT_EQ(ReadFileBytes(dir_ / "out" / "c.bin"),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  // 8 EiB named three times: more than any disk, and more than a 64-bit sum holds
  for (auto& f : pkg.files) f.filesize = INT64_MAX;
  const fs::path huge = Package(pkg, "huge.exe");
  EXPECT_EQ(List(huge, text), 0) << text;
  EXPECT_NE(text.find("Installs:       18,446,744,073,709,551,615 bytes (16.0 EiB) in 3 files"),
            std::string::npos)
      << text;
  EXPECT_EQ(Extract(huge, dir_ / "huge", text), 1) << text;
  EXPECT_NE(text.find("are free on the volume of"), std::string::npos) << text;
  EXPECT_EQ(Entries(dir_ / "huge"), 0u);
}

// A package whose checksum fails gives up nothing to extract either, as setup installs nothing:
// here a file name changed in the directory, which the per-file checks cannot see.
TEST_F(HostileTest, ExtractChecksThePackageChecksumFirst) {
  for (const char* name : {"a.txt", "b.txt"}) Source(name, name);
  // the main program is one of the packed files, as the packer demands
  ASSERT_TRUE(Parse("displayname = \"Tool\"\nexename = \"a.txt\"\n[[files]]\nsource = \"src\"\n"))
      << error_;
  WriteFileBytes(dir_ / "stub.exe", FakePe());
  BuildOptions options;
  options.stub = dir_ / "stub.exe";
  options.output = dir_ / "setup.exe";
  options.classic_directory = true;
  BuildResult result;
  ASSERT_TRUE(BuildPackage(manifest_, options, result, error_)) << error_;
  auto bytes = ReadFileBytes(options.output);
  bytes[bytes.size() - kConfigRecordSize - kDirectoryTrailerSize - kDirectoryRecordSize +
        offsetof(DirectoryRecord, filename)] ^= 0x01;  // "b.txt" becomes "c.txt"
  WriteFileBytes(dir_ / "bad.exe", bytes);
  std::string text;
  EXPECT_EQ(Extract(dir_ / "bad.exe", dir_ / "out", text), 1) << text;
  EXPECT_NE(text.find("The setup file is damaged and should be downloaded again."),
            std::string::npos)
      << text;
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(HostileTest, VerifyWarnsOfAnEmptyDirectoryAndFailsOneOutsideThePackage) {
  std::string text;
  RawPackage empty;
  EXPECT_EQ(Verify(Package(empty), text), 0) << text;
  EXPECT_NE(text.find("warning: the directory is empty"), std::string::npos) << text;

  // licenseoffset moved into the Package header, then behind the Configuration record's start
  RawPackage one;
  one.files.push_back(OneFile(u"a.txt"));
  auto bytes = Assemble(one).bytes;
  ConfigRecord c;
  const std::size_t at = bytes.size() - sizeof c;
  std::memcpy(&c, bytes.data() + at, sizeof c);
  for (std::int64_t offset :
       {static_cast<std::int64_t>(c.packageoffset) + 100, static_cast<std::int64_t>(at) + 12408}) {
    ConfigRecord moved = c;
    moved.licenseoffset = static_cast<std::int32_t>(offset);
    std::memcpy(bytes.data() + at, &moved, sizeof moved);
    WriteFileBytes(dir_ / "moved.exe", bytes);
    EXPECT_EQ(Verify(dir_ / "moved.exe", text), 1) << offset << ": " << text;
    EXPECT_NE(text.find("FAIL package layout"), std::string::npos) << text;
  }

  // a record whose blocks are said to lie in the Package header
  RawPackage inside;
  RawFile f = OneFile(u"b.txt");
  f.dataoffset = 0;
  inside.files.push_back(f);
  EXPECT_EQ(Verify(Package(inside), text), 1) << text;
  EXPECT_NE(text.find("outside the data area"), std::string::npos) << text;
}

TEST_F(HostileTest, NamesAreEscapedInEveryOutput) {
  RawPackage pkg;
  pkg.files.push_back(OneFile(u"evil\x1b]0;owned\x07\n\u202Etxt.exe"));
  const fs::path setup = Package(pkg);
  std::string text;
  for (int which = 0; which < 3; ++which) {
    if (which == 0) List(setup, text);
    if (which == 1) Verify(setup, text);
    if (which == 2) Extract(setup, dir_ / "out", text);
    SCOPED_TRACE(which);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
    EXPECT_EQ(text.find("\xE2\x80\xAE"), std::string::npos) << text;  // U+202E, raw
    EXPECT_EQ(text.find("\n\u202E"), std::string::npos) << text;
    EXPECT_NE(text.find("evil\\x1B]0;owned\\x07\\x0A\\u202Etxt.exe"), std::string::npos) << text;
  }
}

TEST_F(HostileTest, PublisherAndUrlAreEscapedInTheList) {
  RawPackage pkg;
  pkg.files.push_back(OneFile(u"a.txt"));
  auto bytes = Assemble(pkg).bytes;
  ConfigRecord c;
  const std::size_t at = bytes.size() - sizeof c;
  std::memcpy(&c, bytes.data() + at, sizeof c);
  ExtensionBuilder tail(c.reserved11628);
  ASSERT_TRUE(tail.Add(ConfigTag::kPublisher, std::string_view("evil\x1b]0;owned\x07")));
  ASSERT_TRUE(tail.Add(ConfigTag::kUrl, std::string_view("https://x\x1b[2J\n")));
  tail.Finish();
  std::memcpy(bytes.data() + at, &c, sizeof c);
  WriteFileBytes(dir_ / "tail.exe", bytes);
  std::string text;
  ASSERT_EQ(List(dir_ / "tail.exe", text), 0) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_NE(text.find("Publisher:      evil\\x1B]0;owned\\x07\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Web page:       https://x\\x1B[2J\\x0A\n"), std::string::npos) << text;
}

// ---- the package checksum ----

// One flipped bit in the record's extension, or its tail cut short and zero-filled behind the
// magic, once read as "an older packer's package" and turned the check off: a file name changed
// in the directory then installed, and verify passed it.
TEST_F(HostileTest, ADamagedRecordExtensionIsDamageNotAnOlderPackersZeros) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) Source(name, name);
  // the main program is one of the packed files, as the packer demands
  ASSERT_TRUE(Parse("displayname = \"Tool\"\nexename = \"a.txt\"\n[[files]]\nsource = \"src\"\n"))
      << error_;
  WriteFileBytes(dir_ / "stub.exe", FakePe());
  BuildOptions options;
  options.stub = dir_ / "stub.exe";
  options.output = dir_ / "setup.exe";
  options.classic_directory = true;  // the directory needs nothing from the tail
  BuildResult result;
  ASSERT_TRUE(BuildPackage(manifest_, options, result, error_)) << error_;
  const auto good = ReadFileBytes(options.output);
  const std::size_t tail = good.size() - kConfigRecordSize + offsetof(ConfigRecord, reserved11628);
  // a file name in the directory changed too, as a damaged download would have it
  const std::size_t name_at = good.size() - kConfigRecordSize - kDirectoryTrailerSize -
                              kDirectoryRecordSize + offsetof(DirectoryRecord, filename);
  for (const char* how : {"flipped", "zero-filled"}) {
    SCOPED_TRACE(how);
    auto bad = good;
    bad[name_at] ^= 0x01;
    if (std::string(how) == "flipped") {
      bad[tail + 12] ^= 0x04;
    } else {
      std::fill(bad.begin() + static_cast<std::ptrdiff_t>(tail) + 4, bad.end(), 0);
    }
    WriteFileBytes(dir_ / "bad.exe", bad);
    std::string text;
    EXPECT_EQ(Verify(dir_ / "bad.exe", text), 1) << text;
    EXPECT_NE(text.find("FAIL package checksum"), std::string::npos) << text;
    auto host = MakeHostFileSystem();
    auto file = host->NewFile();
    ASSERT_TRUE(file->OpenRead(PackagePath(dir_ / "bad.exe")));
    ConfigRecord config;
    std::string licence;
    EXPECT_EQ(LoadStartupPackage(*file, config, licence), StartupLoad::kDamaged);
  }
}

// A directory record whose check data begins with the magic but fails its CRC cannot vouch for
// its content: the file fails as corrupt instead of passing unchecked.
TEST_F(HostileTest, ADamagedFileCheckFailsTheFile) {
  RawPackage pkg;
  RawFile f = OneFile(u"a.txt");
  f.contentcrc = Crc32(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}.data(), 8);
  pkg.files.push_back(f);
  auto bytes = Assemble(pkg).bytes;
  const std::size_t record = bytes.size() - kConfigRecordSize - kDirectoryTrailerSize -
                             kDirectoryRecordSize + offsetof(DirectoryRecord, reserved6192);
  std::string text;
  WriteFileBytes(dir_ / "good.exe", bytes);
  EXPECT_EQ(Verify(dir_ / "good.exe", text), 0) << text;
  bytes[record + 7] ^= 0x20;  // inside the stored CRC
  WriteFileBytes(dir_ / "bad.exe", bytes);
  EXPECT_EQ(Verify(dir_ / "bad.exe", text), 1) << text;
  EXPECT_NE(text.find("FAIL \\a.txt: File corrupt"), std::string::npos) << text;
  EXPECT_EQ(Extract(dir_ / "bad.exe", dir_ / "out", text), 1) << text;
  EXPECT_FALSE(fs::exists(dir_ / "out" / "a.txt"));
}

// ---- links in the output folder ----

TEST_F(HostileTest, ExtractEntersNoLinkThatAlreadyStandsInTheOutputFolder) {
  fs::create_directories(dir_ / "out");
  fs::create_directories(dir_ / "elsewhere");
  WriteFileBytes(dir_ / "victim.txt", Bytes("keep"));
  fs::create_symlink(dir_ / "victim.txt", dir_ / "out" / "f.txt");
  fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "out" / "sub");
  fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "out" / "deep");
  struct Case {
    std::u16string name, subfolder;
  };
  for (const Case& c :
       {Case{u"f.txt", u""}, Case{u"a.txt", u"\\sub"}, Case{u"b.txt", u"\\deep\\er"}}) {
    RawPackage pkg;
    pkg.files.push_back(OneFile(c.name, c.subfolder));
    std::string text;
    EXPECT_EQ(Extract(Package(pkg), dir_ / "out", text), 1) << text;
  }
  EXPECT_EQ(ReadFileBytes(dir_ / "victim.txt"), Bytes("keep"));
  EXPECT_EQ(Entries(dir_ / "elsewhere"), 0u);

  // the destination named through a link of the user's own is followed once
  fs::create_directories(dir_ / "real");
  fs::create_directory_symlink(dir_ / "real", dir_ / "alias");
  RawPackage pkg;
  pkg.files.push_back(OneFile(u"c.txt", u"\\in"));
  std::string text;
  EXPECT_EQ(Extract(Package(pkg), dir_ / "alias", text), 0) << text;
  EXPECT_TRUE(fs::exists(dir_ / "real" / "in" / "c.txt"));
}

// A file system that records what the file step would create, for destinations no test may write.
class RecordingFs final : public FileSystem {
 public:
  class File final : public PackageFile {
   public:
    File(RecordingFs& owner, std::unique_ptr<PackageFile> real)
        : owner_(owner), real_(std::move(real)) {}
    bool OpenRead(const std::u16string& p) override { return real_->OpenRead(p); }
    bool CreateWrite(const std::u16string& p) override {
      owner_.created.push_back(p);
      writing_ = true;
      return true;
    }
    std::uint32_t Read(void* b, std::uint32_t& n) override { return real_->Read(b, n); }
    bool Write(const void*, std::uint32_t) override { return writing_; }
    void Close() override { real_->Close(); }
    bool IsOpen() const override { return writing_ || real_->IsOpen(); }
    std::int64_t Size() override { return real_->Size(); }
    std::int64_t Position() override { return real_->Position(); }
    bool Seek(std::int64_t p) override { return real_->Seek(p); }

   private:
    RecordingFs& owner_;
    std::unique_ptr<PackageFile> real_;
    bool writing_ = false;
  };
  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<File>(*this, host_->NewFile());
  }
  bool FindEntry(const std::u16string&, bool&) override { return false; }
  bool CreateFolder(const std::u16string& p) override {
    folders.push_back(p);
    return false;
  }
  bool ApplyAttributes(const std::u16string&, std::uint32_t) override { return true; }
  bool RemoveFile(const std::u16string&) override { return false; }
  bool RemoveFolder(const std::u16string&) override { return false; }
  bool MoveReplacing(const std::u16string&, const std::u16string&) override { return false; }

  std::vector<std::u16string> created, folders;

 private:
  std::unique_ptr<FileSystem> host_ = MakeHostFileSystem();
};

TEST_F(HostileTest, TheRootAsDestinationNeedsNoFolderMade) {
  RawPackage pkg;
  pkg.files.push_back(OneFile(u"x.bin"));
  pkg.files.push_back(OneFile(u"y.bin", u"\\sub"));
  const auto a = Assemble(pkg);
  WriteFileBytes(dir_ / "setup.exe", a.bytes);
  RecordingFs rec;
  PackageReader reader(rec);
  reader.programpath = pack::PackagePath(dir_ / "setup.exe");
  reader.packageoffset = a.packageoffset;
  reader.packageend = a.packageend;
  reader.destfolder = u"\\";
  ASSERT_TRUE(reader.OpenPackage());
  EXPECT_TRUE(reader.ExtractFile(0)) << Utf16ToUtf8(reader.statustext);
  EXPECT_FALSE(reader.ExtractFile(1));  // the fake makes no folder: \sub is tried, not the root
  EXPECT_EQ(rec.created, std::vector<std::u16string>{u"\\x.bin"});
  EXPECT_FALSE(rec.folders.empty());
  for (const auto& f : rec.folders) EXPECT_EQ(f.rfind(u"\\sub", 0), 0u) << Utf16ToUtf8(f);
}

// ---- the manifest ----

TEST_F(HostileTest, ManifestRefusesUnsafeExenamesAndDeviceNamesAndNonAsciiCaseTwins) {
  Source("tool.exe");
  const std::string files = "[[files]]\nsource = \"src\"\n";
  for (const char* exename : {"\\\\", "/", "bin\\\\tool.exe", "bin/tool.exe", "..", " ", "\\r",
                              " tool.exe", "tool.exe ", "nul.exe", "a:b"}) {
    EXPECT_FALSE(
        Parse("displayname = \"Tool\"\nexename = \"" + std::string(exename) + "\"\n" + files))
        << exename;
    EXPECT_NE(error_.find("exename"), std::string::npos) << exename << ": " << error_;
  }

  struct Case {
    std::vector<std::string> sources;  // files below src/
    std::string subfolder, expected;
  };
  const std::vector<Case> cases = {
      {{"nul.txt"}, "", "reserved device name"},
      {{"COM1.log"}, "", "reserved device name"},
      {{"aux"}, "", "reserved device name"},
      {{"con/inner.txt"}, "", "reserved device name"},
      {{"Lpt3.tar.gz"}, "", "reserved device name"},
      {{"COM\xC2\xB2.txt"}, "", "reserved device name"},
      {{"CONIN$"}, "", "reserved device name"},
      {{"ok.txt"}, "prn", "reserved device name"},
      {{"ok.txt"}, std::string(256, 'd'), "255 UTF-16 units"},
      {{"a/\xC3\x84rger.txt", "b/\xC3\xA4rger.txt"}, "", "two files"},
      {{"a/\xCE\xA3.txt", "b/\xCF\x83.txt"}, "", "two files"},                     // Greek sigma
      {{"a/\xD0\x96.txt", "b/\xD0\xB6.txt"}, "", "two files"},                     // Cyrillic zhe
      {{"a/\xEF\xBC\xA1.txt", "b/\xEF\xBD\x81.txt"}, "", "two files"},             // fullwidth A, a
      {{"a/\xC5\xBD.txt", "b/\xC5\xBE.txt"}, "", "two files"},                     // Z and z caron
      {{"a/\xC3\x9E", "b/\xC3\xBE/x.txt"}, "", "both as a file and as a folder"},  // thorn
  };
  for (const auto& c : cases) {
    fs::remove_all(dir_ / "src");
    for (const auto& s : c.sources) Source(s);
    std::string toml = std::string(kHead);
    for (const char* top : {"a", "b"}) {
      if (fs::exists(dir_ / "src" / top)) {
        toml += "[[files]]\nsource = \"src/" + std::string(top) + "\"\n";
      }
    }
    if (!fs::exists(dir_ / "src" / "a")) toml += "[[files]]\nsource = \"src\"\n";
    if (!c.subfolder.empty()) toml += "subfolder = \"" + c.subfolder + "\"\n";
    EXPECT_FALSE(Parse(toml)) << c.sources[0];
    EXPECT_NE(error_.find(c.expected), std::string::npos) << c.sources[0] << ": " << error_;
  }
}

TEST_F(HostileTest, WalkNamesEveryEntryItCannotPackAndTellsWhatLinksPacked) {
  WriteFileBytes(dir_ / "outside.txt", Bytes("o"));
  struct Case {
    std::function<void(const fs::path&)> make;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {[](const fs::path& src) { ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0600), 0); },
       "pipe is neither a file nor a folder"},
      {[](const fs::path& src) { fs::create_directory_symlink(src, src / "loop"); },
       "leads back to"},
      {[](const fs::path& src) { fs::create_symlink(src / "self", src / "self"); },
       "self leads nowhere or in a circle"},
      {[](const fs::path& src) { fs::create_symlink(src / "gone", src / "dangling"); },
       "dangling leads nowhere"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir_ / "src");
    Source("tool.exe");
    Source("zz/last.txt");
    c.make(dir_ / "src");
    EXPECT_FALSE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << c.expected;
    EXPECT_NE(error_.find(c.expected), std::string::npos) << error_;
    EXPECT_FALSE(Parse(std::string(kHead) + "[[files]]\nsource = \"src/**/*.txt\"\n"));
    EXPECT_NE(error_.find(c.expected), std::string::npos) << error_;
  }
  // a FIFO named directly
  fs::remove_all(dir_ / "src");
  Source("tool.exe");
  ASSERT_EQ(::mkfifo((dir_ / "src" / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(Parse(std::string(kHead) + "[[files]]\nsource = \"src/pipe\"\n"));
  EXPECT_NE(error_.find("neither a file nor a folder"), std::string::npos) << error_;

  // links are followed, and said so
  fs::remove_all(dir_ / "src");
  Source("tool.exe");
  fs::create_symlink(dir_ / "outside.txt", dir_ / "src" / "linked.txt");
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  EXPECT_EQ(manifest_.files.size(), 2u);
  ASSERT_EQ(manifest_.notes.size(), 1u);
  EXPECT_NE(manifest_.notes[0].find("linked.txt"), std::string::npos) << manifest_.notes[0];
  EXPECT_NE(manifest_.notes[0].find("outside"), std::string::npos) << manifest_.notes[0];
}

// Parses in a child process that cannot read what root could, and returns its error text.
std::string ParseAsNobody(const std::string& toml, const fs::path& base) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    Manifest m;
    std::string error;
    const bool ok = ParseManifest(toml, base, m, error);
    const std::string reply = ok ? "parsed " + std::to_string(m.files.size()) + " files" : error;
    if (::write(fds[1], reply.data(), reply.size()) < 0) ::_exit(4);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string reply;
  char buf[512];
  for (ssize_t r; (r = ::read(fds[0], buf, sizeof buf)) > 0;)
    reply.append(buf, static_cast<std::size_t>(r));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return reply;
}

TEST_F(HostileTest, AnUnreadableFolderIsAnErrorWhereverItLies) {
  for (const char* blocked : {"aaa", "mmm", "zzz"}) {
    SCOPED_TRACE(blocked);
    fs::remove_all(dir_ / "src");
    Source("aaa/1.txt");
    Source("mmm/2.txt");
    Source("zzz/3.txt");
    Source("tool.exe");
    fs::permissions(dir_ / "src" / blocked, fs::perms::none);
    const std::string reply =
        ParseAsNobody(std::string(kHead) + "[[files]]\nsource = \"src\"\n", dir_.path());
    EXPECT_NE(reply.find("cannot read folder"), std::string::npos) << reply;
    EXPECT_NE(reply.find(blocked), std::string::npos) << reply;
    fs::permissions(dir_ / "src" / blocked, fs::perms::owner_all);
  }
}

TEST_F(HostileTest, TheOutputMayNotBeOneOfTheInputs) {
  Source("tool.exe", "program");
  WriteFileBytes(dir_ / "stub.exe", FakePe());
  WriteFileBytes(dir_ / "licence.txt", Bytes("licence"));
  ASSERT_TRUE(
      Parse(std::string(kHead) + "licence = \"licence.txt\"\n[[files]]\nsource = \"src\"\n"))
      << error_;
  fs::create_hard_link(dir_ / "stub.exe", dir_ / "stub-link.exe");
  for (const fs::path& victim :
       {dir_ / "stub.exe", dir_ / "stub-link.exe", dir_ / "licence.txt", dir_ / "src" / "tool.exe",
        dir_ / "src" / ".." / "src" / "tool.exe"}) {
    const auto before = ReadFileBytes(victim);
    BuildOptions options;
    options.stub = dir_ / "stub.exe";
    options.output = victim;
    BuildResult result;
    std::string error;
    EXPECT_FALSE(BuildPackage(manifest_, options, result, error)) << victim;
    EXPECT_NE(error.find("is the input"), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(victim), before) << victim;
  }
}

// ---- the command line ----

struct RunResult {
  int exit_code = -1;  // when it exited
  int signal = 0;      // when a signal ended it
  bool timed_out = false;
  std::string output;  // stdout and stderr
};

// Runs the built kestrel-pack; `poll` is called every millisecond while it runs.
RunResult RunPack(const std::vector<std::string>& args, const fs::path& scratch,
                  const std::function<void(pid_t)>& poll = {}, int timeout_seconds = 5) {
  RunResult result;
  const fs::path log = scratch / "run.log";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> argv;
    std::string program = KESTREL_PACK_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    if (poll) poll(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  const auto bytes = ReadFileBytes(log);
  result.output.assign(bytes.begin(), bytes.end());
  return result;
}

class HostileCliTest : public HostileTest {
 protected:
  void SetUp() override {
    Source("tool.exe", "program");
    WriteFileBytes(dir_ / "stub.exe", FakePe());
    WriteFileBytes(dir_ / "key.bin", Bytes("kestrel"));
    Write("good.toml", std::string(kHead) + "[[files]]\nsource = \"src\"\n");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  }
  void Write(const std::string& name, const std::string& text) {
    WriteFileBytes(dir_ / name, Bytes(text));
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  RunResult Run(const std::vector<std::string>& args) { return RunPack(args, dir_.path()); }
};

TEST_F(HostileCliTest, InputsThatAreNoRegularFilesAreRefusedAtOnce) {
  Write("fifo-licence.toml",
        std::string(kHead) + "licence = \"fifo\"\n[[files]]\nsource = \"src\"\n");
  Write("zero-licence.toml",
        std::string(kHead) + "licence = \"/dev/zero\"\n[[files]]\nsource = \"src\"\n");
  ASSERT_EQ(Run({"build", P("good.toml"), "-o", P("setup.exe"), "--stub", P("stub.exe")}).exit_code,
            0);
  const std::string out = P("out.exe");
  const std::vector<std::vector<std::string>> cases = {
      {"build", P("fifo"), "-o", out, "--stub", P("stub.exe")},
      {"build", P("good.toml"), "-o", out, "--stub", P("fifo")},
      {"build", P("good.toml"), "-o", out, "--stub", "/dev/zero"},
      {"build", P("fifo-licence.toml"), "-o", out, "--stub", P("stub.exe")},
      {"build", P("zero-licence.toml"), "-o", out, "--stub", P("stub.exe")},
      {"build", P("good.toml"), "-o", out, "--stub", P("stub.exe"), "--key-file", P("fifo")},
      {"build", P("good.toml"), "-o", out, "--stub", P("stub.exe"), "--key-file", "/dev/zero"},
      {"verify", P("setup.exe"), "--key-file", P("fifo")},
      {"verify", P("fifo")},
      {"list", P("fifo")},
      {"extract", P("fifo"), P("x")},
      {"verify", "/dev/zero"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    const RunResult r = Run(args);
    EXPECT_FALSE(r.timed_out) << shown;
    EXPECT_EQ(r.exit_code, 1) << shown << r.output;
    EXPECT_NE(r.output.find("not a regular file"), std::string::npos) << shown << r.output;
  }
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(HostileCliTest, OutputNamingAnInputIsRefusedByIdentity) {
  ASSERT_EQ(::link(P("good.toml").c_str(), P("manifest-link.toml").c_str()), 0);
  for (const std::string& victim : {P("good.toml"), P("manifest-link.toml"), P("key.bin"),
                                    P("stub.exe"), P("src/tool.exe"), P("src/../good.toml")}) {
    const auto before = ReadFileBytes(victim);
    const RunResult r = Run({"build", P("good.toml"), "-o", victim, "--stub", P("stub.exe"),
                             "--key-file", P("key.bin")});
    EXPECT_EQ(r.exit_code, 1) << victim << r.output;
    EXPECT_NE(r.output.find("is the input"), std::string::npos) << r.output;
    EXPECT_EQ(ReadFileBytes(victim), before) << victim;
  }
}

TEST_F(HostileCliTest, AFollowedLinkIsToldOnTheCommandLine) {
  WriteFileBytes(dir_ / "outside.txt", Bytes("o"));
  fs::create_symlink(dir_ / "outside.txt", dir_ / "src" / "linked.txt");
  const RunResult r = Run({"build", P("good.toml"), "-o", P("setup.exe"), "--stub", P("stub.exe")});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("note: followed the link"), std::string::npos) << r.output;
}

TEST_F(HostileCliTest, ASignalDuringBuildLeavesNoPartialOutput) {
  // enough incompressible content that the build is still running when the signal comes
  WriteFileBytes(dir_ / "src" / "big.bin", kestrel::testing::RandomBytes(48u << 20, 7));
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    bool sent = false;
    auto poll = [&](pid_t pid) {
      if (sent) return;
      std::error_code ec;
      for (fs::directory_iterator it(dir_.path(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code size_ec;
        if (it->path().filename().string().find("setup.exe.partial-") == 0 &&
            fs::file_size(it->path(), size_ec) > 0 && !size_ec) {
          ::kill(pid, sig);
          sent = true;
          return;
        }
      }
    };
    const RunResult r = RunPack({"build", P("good.toml"), "-o", P("setup.exe"), "--stub",
                                 P("stub.exe"), "--threads", "1", "--codec", "classic"},
                                dir_.path(), poll, 60);
    ASSERT_TRUE(sent) << r.output;
    EXPECT_EQ(r.signal, sig) << r.exit_code << r.output;
    EXPECT_FALSE(fs::exists(dir_ / "setup.exe"));
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(e.path().filename().string().find(".partial"), std::string::npos) << e.path();
    }
  }
}

// A build stopped while the signing tool runs once left the signing password in a file anyone
// could read (0644) inside its folder in /tmp, and the tool running on without a parent. The
// password file is the owner's alone, and the signal removes the folder and stops the tool.
TEST_F(HostileCliTest, AStoppedSigningLeavesNoPasswordAndNoTool) {
  const fs::path tmp = dir_ / "tmp";
  fs::create_directories(tmp);
  const fs::path pidfile = dir_ / "signer.pid";
  WriteFileBytes(dir_ / "signer.sh",
                 Bytes("#!/bin/sh\necho $$ > '" + pidfile.string() + "'\nexec sleep 60\n"));
  fs::permissions(dir_ / "signer.sh", fs::perms::owner_all);
  WriteFileBytes(dir_ / "signable.exe", kestrel::testing::MinimalPe(false));
  WriteFileBytes(dir_ / "cert.pem", Bytes("cert"));
  WriteFileBytes(dir_ / "key.pem", Bytes("key"));
  // the packer finds its temporary folder here; every other test keeps the system's
  struct Environment {
    std::string before = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    explicit Environment(const fs::path& tmp) {
      ::setenv("TMPDIR", tmp.c_str(), 1);
      ::setenv("KESTREL_TEST_SIGN_PASSWORD", "s3cret", 1);
    }
    ~Environment() {
      if (before.empty()) {
        ::unsetenv("TMPDIR");
      } else {
        ::setenv("TMPDIR", before.c_str(), 1);
      }
      ::unsetenv("KESTREL_TEST_SIGN_PASSWORD");
    }
  } environment(tmp);
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(sig);
    fs::remove(pidfile);
    pid_t signer = 0;
    std::string mode;
    const RunResult r = RunPack(
        {"build", P("good.toml"), "-o", P("setup.exe"), "--stub", P("signable.exe"), "--sign",
         "--cert", P("cert.pem"), "--key", P("key.pem"), "--sign-password-env",
         "KESTREL_TEST_SIGN_PASSWORD", "--signer", P("signer.sh")},
        dir_.path(),
        [&](pid_t pid) {
          if (signer != 0) return;
          const auto text = ReadFileBytes(pidfile);
          if (text.empty() || text.back() != '\n') return;
          signer = static_cast<pid_t>(std::stol(std::string(text.begin(), text.end())));
          for (const auto& e : fs::recursive_directory_iterator(tmp)) {
            if (e.path().filename() == "password") {
              mode = std::to_string(static_cast<int>(fs::status(e.path()).permissions()) & 0777);
            }
          }
          ::kill(pid, sig);
        },
        30);
    ASSERT_NE(signer, 0) << r.output;
    EXPECT_EQ(r.signal, sig) << r.exit_code << r.output;
    EXPECT_EQ(mode, std::to_string(0600));
    EXPECT_EQ(Entries(tmp), 0u);  // the private folder and the password are gone
    EXPECT_NE(::kill(signer, 0), 0) << "the signing tool still runs";
    if (::kill(signer, 0) == 0) ::kill(signer, SIGKILL);
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(e.path().filename().string().find(".partial"), std::string::npos) << e.path();
    }
  }
}

}  // namespace
}  // namespace kestrel::pack
