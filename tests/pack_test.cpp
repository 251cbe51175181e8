#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "decode/password.h"
#include "installengine/extract.h"
#include "installengine/registration.h"
#include "pack/manifest.h"
#include "pack/stages.h"
#include "pack/tools.h"
#include "pack/writer.h"
#include "package/directory.h"
#include "package/extension.h"
#include "package/identity.h"
#include "package/protection.h"
#include "package/publisher.h"
#include "package_fixture.h"
#include "sysutil/codepage.h"

namespace kestrel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::WriteFileBytes;

// The smallest file that passes for a PE executable: "MZ", e_lfanew, "PE\0\0"; it carries the
// mark of a stub that reads compact directories unless told otherwise.
std::vector<std::uint8_t> FakePe(std::size_t size = 1000, bool reads_compact = true) {
  std::vector<std::uint8_t> b(size, 0xAB);
  if (reads_compact) {
    std::copy(kCompactDirectoryCapability.begin(), kCompactDirectoryCapability.end(),
              b.begin() + 0x100);
    std::copy(kLzma2Capability.begin(), kLzma2Capability.end(), b.begin() + 0x140);
  }
  b[0] = 'M';
  b[1] = 'Z';
  b[0x3C] = 0x80;
  b[0x3D] = b[0x3E] = b[0x3F] = 0;
  b[0x80] = 'P';
  b[0x81] = 'E';
  b[0x82] = b[0x83] = 0;
  return b;
}

void WriteText(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  WriteFileBytes(p, std::vector<std::uint8_t>(text.begin(), text.end()));
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir_ / "stub.exe", FakePe());
    options_.stub = dir_ / "stub.exe";
    options_.output = dir_ / "setup.exe";
    options_.buildtime = 45000.5;
    options_.chainseed = 42;
  }
  // Writes a source file below src/ and returns its content.
  std::vector<std::uint8_t> Source(const std::string& rel, std::vector<std::uint8_t> bytes) {
    fs::create_directories((dir_ / "src" / rel).parent_path());
    WriteFileBytes(dir_ / "src" / rel, bytes);
    return bytes;
  }
  bool Parse(const std::string& toml) {
    error_.clear();
    return ParseManifest(toml, dir_.path(), manifest_, error_);
  }
  bool Build() {
    error_.clear();
    return BuildPackage(manifest_, options_, result_, error_);
  }
  int Verify(std::string* text = nullptr, const std::vector<std::uint8_t>& key = {}) {
    std::ostringstream out, err;
    const int rc = VerifyPackage(options_.output, key, out, err);
    if (text) *text = out.str() + err.str();
    return rc;
  }
  int Extract(std::string* text = nullptr, const std::vector<std::uint8_t>& key = {}) {
    std::ostringstream out, err;
    const int rc = ExtractPackage(options_.output, dir_ / "out", key, out, err);
    if (text) *text = out.str() + err.str();
    return rc;
  }
  // Build, verify, extract and compare every file with its source.
  void RoundTrip(const std::vector<std::string>& rels, const std::vector<std::uint8_t>& key = {}) {
    ASSERT_TRUE(Build()) << error_;
    std::string text;
    ASSERT_EQ(Verify(&text, key), 0) << text;
    ASSERT_EQ(Extract(&text, key), 0) << text;
    for (const auto& rel : rels) {
      EXPECT_EQ(ReadFileBytes(dir_ / "out" / rel), ReadFileBytes(dir_ / "src" / rel)) << rel;
    }
  }

  ScratchDir dir_;
  Manifest manifest_;
  BuildOptions options_;
  BuildResult result_;
  std::string error_;
};

constexpr const char* kHead = "displayname = \"Tool\"\nexename = \"tool.exe\"\n";

TEST_F(PackTest, RoundTripOfAwkwardSizesAtBothLevels) {
  std::vector<std::string> rels;
  auto add = [&](const std::string& rel, std::vector<std::uint8_t> bytes) {
    Source(rel, std::move(bytes));
    rels.push_back(rel);
  };
  add("tool.exe", testing::RandomBytes(3000, 1));
  add("empty.txt", {});
  add("exact.bin", testing::RandomBytes(65536, 2));
  add("plusone.bin", testing::RandomBytes(65537, 3));
  // incompressible sizes that cannot be stored whole
  add("noise65535.bin", testing::RandomBytes(65535, 4));
  add("noise65543.bin", testing::RandomBytes(65543, 5));
  add("noise130001.bin", testing::RandomBytes(130001, 6));
  add("runs.bin", std::vector<std::uint8_t>(300000, 'a'));
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i % 37) + " of some text\n";
  add("sub/deeper/text.txt", std::vector<std::uint8_t>(text.begin(), text.end()));
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  for (Level level : {Level::kFast, Level::kBest}) {
    options_.level = level;
    fs::remove_all(dir_ / "out");
    RoundTrip(rels);
  }
  EXPECT_EQ(result_.files, rels.size());
  // the runs and the text must have been coded, not stored
  EXPECT_LT(result_.package_bytes, result_.content_bytes);
}

TEST_F(PackTest, ManySmallFilesInSubfoldersAndIdenticalOutputWithOneOrTwoThreads) {
  std::vector<std::string> rels;
  for (int i = 0; i < 300; ++i) {
    const std::string rel = "d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".dat";
    Source(rel, testing::RandomBytes(static_cast<std::size_t>(i * 13 % 500), i));
    rels.push_back(rel);
  }
  Source("tool.exe", testing::RandomBytes(10, 99));  // the main program setup registers
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\nsubfolder = \"\"\n"))
      << error_;
  options_.threads = 1;
  RoundTrip(rels);
  const auto single = ReadFileBytes(options_.output);
  options_.threads = 2;
  ASSERT_TRUE(Build()) << error_;
  EXPECT_EQ(ReadFileBytes(options_.output), single);
}

TEST_F(PackTest, LayoutAndReservedFieldsAreAsTheFormatSays) {
  Source("tool.exe", testing::RandomBytes(100, 9));
  WriteText(dir_ / "licence.txt", "Line one\nLine two\n");
  ASSERT_TRUE(
      Parse(std::string(kHead) +
            "version = \"2.5\"\nlicence = \"licence.txt\"\ninstallfolder = \"Vendor/Tool\"\n"
            "[[files]]\nsource = \"src/tool.exe\"\nattributes = [\"archive\", \"hidden\"]\n"))
      << error_;
  options_.classic_directory = true;
  ASSERT_TRUE(Build()) << error_;
  const auto bytes = ReadFileBytes(options_.output);
  ConfigRecord c;
  std::memcpy(&c, bytes.data() + bytes.size() - sizeof c, sizeof c);
  EXPECT_TRUE(HasSetupMarker(c));
  EXPECT_EQ(c.reserved24, 2);
  EXPECT_EQ(c.reserved2401, 1);
  EXPECT_EQ(c.reserved2658, 1);
  EXPECT_EQ(c.packageoffset, 1000);
  EXPECT_EQ(ReadWide(c.installfolder), u"\\Vendor\\Tool");
  EXPECT_EQ(ReadWide(c.programgroup), u"\\Tool");
  EXPECT_EQ(ReadShort(c.version), "2.5");
  EXPECT_EQ(c.haslicense, 1);
  const std::string licence(bytes.begin() + c.licenseoffset, bytes.end() - sizeof c);
  EXPECT_EQ(licence, "Line one\r\nLine two\r\n");
  PackageHeader h;
  std::memcpy(&h, bytes.data() + 1000, sizeof h);
  EXPECT_EQ(std::string(h.magic, 4), "MXA1");
  EXPECT_EQ(h.formatversion, 4);
  EXPECT_EQ(h.compressed, 1);
  EXPECT_EQ(h.encrypted, 0);
  DirectoryTrailer t;
  std::memcpy(&t, bytes.data() + c.licenseoffset - 8, sizeof t);
  EXPECT_EQ(std::string(t.magic, 4), "MXA1");
  ASSERT_EQ(t.filecount, 1);
  DirectoryRecord r;
  std::memcpy(&r, bytes.data() + c.licenseoffset - 8 - sizeof r, sizeof r);
  EXPECT_EQ(r.dataoffset, 2648);  // the first file's blocks follow the header directly
  EXPECT_EQ(r.filesize, 100);
  EXPECT_EQ(r.attributes, 0x22);
  EXPECT_EQ(ReadWide(r.filename), u"tool.exe");
  // the directory follows the last block directly
  EXPECT_EQ(1000 + r.dataoffset + 12 + r.storedsize, c.licenseoffset - 8 - 6232);
  // the program part is the stub, byte for byte
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 1000), FakePe());
}

TEST_F(PackTest, EncipheredRoundTripNeedsTheSameKey) {
  Source("tool.exe", testing::RandomBytes(70000, 10));
  std::string text(50000, 'x');
  Source("text.txt", std::vector<std::uint8_t>(text.begin(), text.end()));
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  options_.key = {'k', 'e', 's', 't', 'r', 'e', 'l'};
  options_.classic_directory = true;
  RoundTrip({"tool.exe", "text.txt"}, options_.key);
  std::string out;
  EXPECT_NE(Verify(&out), 0);
  EXPECT_NE(out.find("The package is enciphered and no key was given"), std::string::npos) << out;
  fs::remove_all(dir_ / "out");
  EXPECT_NE(Extract(&out), 0);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "tool.exe"));
  // chain values differ from file to file
  const auto bytes = ReadFileBytes(options_.output);
  ConfigRecord c;
  std::memcpy(&c, bytes.data() + bytes.size() - sizeof c, sizeof c);
  DirectoryRecord r1, r2;
  std::memcpy(&r1, bytes.data() + c.licenseoffset - 8 - 2 * sizeof r1, sizeof r1);
  std::memcpy(&r2, bytes.data() + c.licenseoffset - 8 - sizeof r2, sizeof r2);
  EXPECT_NE(std::make_pair(r1.chainleft, r1.chainright),
            std::make_pair(r2.chainleft, r2.chainright));
}

TEST_F(PackTest, VerifyNamesADamagedFile) {
  Source("tool.exe", testing::RandomBytes(5000, 11));
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  ASSERT_TRUE(Build()) << error_;
  auto bytes = ReadFileBytes(options_.output);
  bytes[1000 + 2648] = 'X';  // the first Block header's marker
  WriteFileBytes(options_.output, bytes);
  std::string out;
  EXPECT_EQ(Verify(&out), 1);
  EXPECT_NE(out.find("FAIL \\tool.exe: File corrupt"), std::string::npos) << out;
  // extract checks the package's checksum first, as setup does, and gives up nothing
  EXPECT_EQ(Extract(&out), 1);
  EXPECT_NE(out.find("The setup file is damaged and should be downloaded again."),
            std::string::npos)
      << out;
}

TEST_F(PackTest, ListShowsConfigurationAndFiles) {
  Source("tool.exe", testing::RandomBytes(123, 12));
  ASSERT_TRUE(
      Parse(std::string(kHead) +
            "[[services]]\nfile = \"bin/svc.exe\"\nname = \"ToolSvc\"\n"
            "[[shortcuts]]\ntarget = \"tool.exe\"\narguments = \"-x -y\"\ncaption = \"Tool X\"\n"
            "[association]\nextension = \".tl\"\nprogram = \"tool.exe-x -y\"\n"
            "[[files]]\nsource = \"src/*.exe\"\n"))
      << error_;
  ASSERT_TRUE(Build()) << error_;
  std::ostringstream out, err;
  ASSERT_EQ(ListPackage(options_.output, out, err), 0) << err.str();
  const std::string s = out.str();
  EXPECT_NE(s.find("ToolSvc = bin\\svc.exe"), std::string::npos) << s;
  EXPECT_NE(s.find("Tool X -> tool.exe-x -y"), std::string::npos) << s;
  EXPECT_NE(s.find("         123"), std::string::npos) << s;
  EXPECT_NE(s.find("\\tool.exe"), std::string::npos) << s;
}

TEST_F(PackTest, PublisherAndUrlTravelInTheRecordsTailAndAreListed) {
  Source("tool.exe", testing::RandomBytes(50, 13));
  for (const bool with : {true, false}) {
    ASSERT_TRUE(
        Parse(std::string(kHead) +
              (with ? "publisher = \"Halvard Caf\u00e9\"\nurl = \"https://h.example/t\"\n" : "") +
              "[[files]]\nsource = \"src/tool.exe\"\n"))
        << error_;
    ASSERT_TRUE(Build()) << error_;
    const auto bytes = ReadFileBytes(options_.output);
    ConfigRecord c;
    std::memcpy(&c, bytes.data() + bytes.size() - sizeof c, sizeof c);
    const PublisherInfo info = ReadPublisherInfo(c);
    std::ostringstream out, err;
    ASSERT_EQ(ListPackage(options_.output, out, err), 0) << err.str();
    if (with) {
      EXPECT_EQ(info.publisher, "Halvard Caf\xe9");  // Windows-1252, as every short text
      EXPECT_EQ(info.url, "https://h.example/t");
      EXPECT_NE(out.str().find("Publisher:      Halvard Caf\u00e9\n"), std::string::npos);
      EXPECT_NE(out.str().find("Web page:       https://h.example/t\n"), std::string::npos);
    } else {
      // without them the extension carries no publisher items (the package checksum only)
      const auto ext = ExtensionView::Parse(c.reserved11628);
      ASSERT_TRUE(ext);
      EXPECT_FALSE(ext->Find(ConfigTag::kPublisher));
      EXPECT_FALSE(ext->Find(ConfigTag::kUrl));
      EXPECT_EQ(out.str().find("Publisher:"), std::string::npos);
    }
  }
  EXPECT_FALSE(Parse(std::string(kHead) + "publisher = \"" + std::string(300, 'x') + "\"\n"));
}

// Identical files stored once, a compact directory against the classic one: both install byte
// for byte, list the same files, and the compact one is the smaller by about a record a file.
TEST_F(PackTest, SharedContentAndCompactDirectoryRoundTripInBothForms) {
  std::vector<std::string> rels;
  const auto big = testing::RandomBytes(200000, 20);
  for (int i = 0; i < 40; ++i) {
    const std::string dir = i % 3 ? "bin" : "share/\xC3\xA9t\xC3\xA9 \xE6\x97\xA5";
    const std::string rel = dir + "/f" + std::to_string(i) + (i % 5 ? ".dll" : ".txt");
    // every fourth file repeats an earlier one; one is large; two are empty
    std::vector<std::uint8_t> bytes = i % 4 == 3 ? ReadFileBytes(dir_ / "src" / rels[i - 2])
                                      : i == 8   ? big
                                      : i == 12 || i == 13 ? std::vector<std::uint8_t>{}
                                                           : testing::RandomBytes(300 + i * 97, i);
    Source(rel, bytes);
    rels.push_back(rel);
  }
  Source("copy/big.bin", big);
  rels.push_back("copy/big.bin");
  Source("tool.exe", testing::RandomBytes(10, 99));  // the main program setup registers
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;

  std::ostringstream lists[2];
  std::uint64_t sizes[2] = {};
  options_.codec = Codec::kClassic;  // the same blocks under both forms of directory
  for (bool classic : {false, true}) {
    options_.classic_directory = classic;
    fs::remove_all(dir_ / "out");
    RoundTrip(rels);
    // 10 repeats, the second empty file and the large file's copy
    EXPECT_EQ(result_.shared_files, 12u);
    EXPECT_GE(result_.shared_bytes, big.size());
    std::ostringstream err;
    ASSERT_EQ(ListPackage(options_.output, lists[classic], err), 0) << err.str();
    sizes[classic] = result_.package_bytes;
  }
  EXPECT_EQ(lists[0].str(), lists[1].str());
  EXPECT_LT(sizes[0] + 38 * kDirectoryRecordSize, sizes[1]);
  // the package holds the content less the shared bytes, plus its fixed records and about a
  // hundred bytes a file (headers, padding, the compact directory)
  EXPECT_LT(sizes[0], result_.content_bytes - result_.shared_bytes + kPackageHeaderSize +
                          kDirectoryRecordSize + kDirectoryTrailerSize + kConfigRecordSize +
                          41 * 100);
}

TEST_F(PackTest, CompactDirectoryNeedsAStubThatReadsIt) {
  Source("tool.exe", testing::RandomBytes(100, 21));
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  WriteFileBytes(dir_ / "old.exe", FakePe(1000, false));
  options_.stub = dir_ / "old.exe";
  options_.codec = Codec::kClassic;
  EXPECT_FALSE(Build());
  EXPECT_NE(error_.find("cannot read a compact directory"), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(options_.output));
  options_.classic_directory = true;
  EXPECT_TRUE(Build()) << error_;
  EXPECT_EQ(Verify(), 0);
}

// Damage anywhere in the compact directory, or in the extension that finds it, is "File
// corrupt" before any file is created.
TEST_F(PackTest, DamagedCompactDirectoryIsFileCorrupt) {
  for (int i = 0; i < 30; ++i) Source("d/f" + std::to_string(i), testing::RandomBytes(50, i));
  Source("tool.exe", testing::RandomBytes(10, 99));  // the main program setup registers
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  options_.codec = Codec::kClassic;
  ASSERT_TRUE(Build()) << error_;
  const auto good = ReadFileBytes(options_.output);
  ConfigRecord c;
  std::memcpy(&c, good.data() + good.size() - sizeof c, sizeof c);
  const auto ext = ExtensionView::Parse(c.reserved11628);
  ASSERT_TRUE(ext);
  const auto item = ext->Find(ConfigTag::kCompactDirectory);
  ASSERT_TRUE(item);
  const auto ref = CompactDirectoryRef::Load(*item);
  ASSERT_TRUE(ref);
  const std::size_t run = 1000 + static_cast<std::size_t>(ref->dataoffset);
  const std::size_t config_at = good.size() - sizeof c;
  const std::size_t item_at = config_at + offsetof(ConfigRecord, reserved11628) + 6 + 3;
  for (std::size_t at : {run, run + 4, run + 12, run + 20, run + 40, item_at + 1, item_at + 9,
                         item_at + 13, item_at + 21, config_at + 11628 + 4}) {
    auto bytes = good;
    bytes[at] ^= 0x5A;
    WriteFileBytes(options_.output, bytes);
    std::string out;
    EXPECT_EQ(Verify(&out), 1) << at;
    EXPECT_NE(out.find("File corrupt"), std::string::npos) << at << ": " << out;
    fs::remove_all(dir_ / "out");
    EXPECT_EQ(Extract(&out), 1) << at;
    EXPECT_FALSE(fs::exists(dir_ / "out" / "d")) << at;
  }
}

// A compact directory is held only within its memory budget: beyond it the package reads as
// damaged, as a crafted run of repeated records does.
TEST_F(PackTest, CompactDirectoryBeyondItsMemoryBudgetIsFileCorrupt) {
  for (int i = 0; i < 30; ++i) Source("d/f" + std::to_string(i), testing::RandomBytes(50, i));
  Source("tool.exe", testing::RandomBytes(10, 99));  // the main program setup registers
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  options_.codec = Codec::kClassic;
  ASSERT_TRUE(Build()) << error_;
  const auto bytes = ReadFileBytes(options_.output);
  ConfigRecord c;
  std::memcpy(&c, bytes.data() + bytes.size() - sizeof c, sizeof c);
  auto fs = MakeHostFileSystem();
  for (const std::size_t budget : {kMaxDirectoryHeldBytes, std::size_t{2000}}) {
    PackageReader reader(*fs);
    reader.programpath = pack::PackagePath(options_.output);
    reader.packageoffset = c.packageoffset;
    reader.packageend = c.licenseoffset;
    reader.config = &c;
    reader.directory_budget = budget;
    EXPECT_EQ(reader.OpenPackage(), budget == kMaxDirectoryHeldBytes) << budget;
    EXPECT_EQ(reader.records.size() == 31, budget == kMaxDirectoryHeldBytes) << budget;
  }
}

TEST_F(PackTest, ManifestErrorsNameTheProblem) {
  Source("tool.exe", {1});
  const std::string files = "[[files]]\nsource = \"src\"\n";
  std::string services, shortcuts;
  for (int i = 0; i < 6; ++i) {
    services += "[[services]]\nfile = \"s" + std::to_string(i) + ".exe\"\nname = \"S\"\n";
  }
  for (int i = 0; i < 7; ++i) {
    shortcuts += "[[shortcuts]]\ntarget = \"t.exe\"\ncaption = \"C" + std::to_string(i) + "\"\n";
  }
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "abcd/";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"exename = \"a.exe\"\n", "\"displayname\" is required"},
      {"displayname = \"" + std::string(256, 'd') + "\"\nexename = \"a\"\n", "at most 255"},
      {std::string(kHead) + "version = \"" + std::string(65, '1') + "\"\n", "at most 64"},
      // a product's name may be in any script; a file name in the record still may not
      {"displayname = \"d\"\nexename = \"\xE6\x97\xA5\"\n", "Windows-1252"},
      {std::string(kHead) + services, "at most 5"},
      {std::string(kHead) + shortcuts, "at most 6"},
      {std::string(kHead) + "bogus = 1\n", "unknown key \"bogus\""},
      {std::string(kHead) + "[[files]]\nsource = \"nothere\"\n", "does not exist"},
      {std::string(kHead) + "[[files]]\nsource = \"src/*.dll\"\n", "matches no file"},
      {std::string(kHead) + "[[files]]\nsource = \"src\"\nsubfolder = \"../up\"\n", "\"..\""},
      {std::string(kHead) + "[[files]]\nsource = \"src\"\nsubfolder = \"" + deep + "\"\n",
       "1024 UTF-16 units"},
      {std::string(kHead) + files + files, "two files would both be installed"},
      {std::string(kHead) + "[[shortcuts]]\ntarget = \"my-tool.exe\"\ncaption = \"c\"\n", "\"-\""},
      {std::string(kHead) + "[association]\nextension = \".x\"\nprogram = \"other.exe\"\n",
       "neither exename"},
      {std::string(kHead) + "[[files]]\nsource = \"src\"\nattributes = [\"shiny\"]\n",
       "unknown attribute"},
      {"displayname = [\n", "manifest line"},
  };
  for (const auto& [toml, expected] : cases) {
    EXPECT_FALSE(Parse(toml)) << toml;
    EXPECT_NE(error_.find(expected), std::string::npos) << "got: " << error_ << "\nfor: " << toml;
  }
}

TEST_F(PackTest, GlobsPickFilesAndKeepTheirFolders) {
  Source("tool.exe", {1});
  Source("a/x.dll", {2});
  Source("a/b/y.dll", {3});
  Source("a/b/z.txt", {4});
  ASSERT_TRUE(Parse(std::string(kHead) +
                    "[[files]]\nsource = \"src/*.exe\"\n"
                    "[[files]]\nsource = \"src/**/*.dll\"\nsubfolder = \"lib\"\n"))
      << error_;
  ASSERT_EQ(manifest_.files.size(), 3u);
  EXPECT_EQ(manifest_.files[0].subfolder, u"");
  EXPECT_EQ(manifest_.files[1].subfolder + u"\\" + manifest_.files[1].filename,
            u"\\lib\\a\\b\\y.dll");
  EXPECT_EQ(manifest_.files[2].subfolder + u"\\" + manifest_.files[2].filename, u"\\lib\\a\\x.dll");
  EXPECT_TRUE(manifest_.warnings.empty());
}

TEST_F(PackTest, FailedBuildsLeaveNoOutput) {
  Source("tool.exe", testing::RandomBytes(200000, 13));
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  auto no_leftovers = [&] {
    EXPECT_FALSE(fs::exists(options_.output));
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(e.path().string().find(".partial"), std::string::npos) << e.path();
    }
  };
  // a package past the format's limit (scaled down here)
  options_.limit = 100000;
  EXPECT_FALSE(Build());
  EXPECT_NE(error_.find("limit"), std::string::npos) << error_;
  no_leftovers();
  options_.limit = 0x7FFFFFFF;
  // a stub that is no PE executable
  WriteFileBytes(dir_ / "notpe.exe", {'M', 'Z', 0, 0});
  options_.stub = dir_ / "notpe.exe";
  EXPECT_FALSE(Build());
  EXPECT_NE(error_.find("not a PE executable"), std::string::npos) << error_;
  auto pe = FakePe();
  pe[0x81] = 'X';
  WriteFileBytes(dir_ / "notpe.exe", pe);
  EXPECT_FALSE(Build());
  options_.stub = dir_ / "missing.exe";
  EXPECT_FALSE(Build());
  no_leftovers();
  // a key of the wrong length
  options_.stub = dir_ / "stub.exe";
  options_.key.assign(57, 1);
  EXPECT_FALSE(Build());
  no_leftovers();
  // a source that vanished after the manifest was read
  options_.key.clear();
  fs::remove(dir_ / "src" / "tool.exe");
  EXPECT_FALSE(Build());
  no_leftovers();
}

TEST(PeCheck, RecognisesThePeSignature) {
  EXPECT_TRUE(IsPeExecutable(FakePe()));
  EXPECT_FALSE(IsPeExecutable({}));
  auto b = FakePe();
  b[0x3C] = 0xFF;
  b[0x3D] = 0xFF;  // e_lfanew beyond the file
  EXPECT_FALSE(IsPeExecutable(b));
  b = FakePe();
  b[0] = 'Z';
  EXPECT_FALSE(IsPeExecutable(b));
}

TEST(Attributes, NamesMapToWindowsBits) {
  EXPECT_EQ(AttributeFromName("readonly"), 0x01);
  EXPECT_EQ(AttributeFromName("hidden"), 0x02);
  EXPECT_EQ(AttributeFromName("system"), 0x04);
  EXPECT_EQ(AttributeFromName("archive"), 0x20);
  EXPECT_EQ(AttributeFromName("normal"), 0x80);
  EXPECT_FALSE(AttributeFromName("Archive"));
}

// Built with a password: the header carries the password data, every record its content CRC; the
// right password verifies and extracts, a wrong one, none, or a raw key fail at once.
TEST_F(PackTest, PasswordRoundTripAndRefusals) {
  Source("tool.exe", testing::RandomBytes(70000, 11));
  std::string text(90000, 'y');
  Source("sub/text.txt", std::vector<std::uint8_t>(text.begin(), text.end()));
  Source("empty.txt", {});
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  options_.password = "p\xC3\xA4ssw\xC3\xB6rd";  // UTF-8
  options_.iterations = 1000;
  options_.classic_directory = true;  // the records are read below where they stand
  ASSERT_TRUE(Build()) << error_;

  auto config = std::make_unique<ConfigRecord>();
  ASSERT_TRUE(ReadConfiguration(options_.output, *config, error_)) << error_;
  const auto bytes = ReadFileBytes(options_.output);
  PackageHeader header;
  std::memcpy(&header, bytes.data() + config->packageoffset, sizeof header);
  EXPECT_EQ(header.encrypted, 1);
  const auto data = ReadPasswordData(header);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->iterations, 1000u);
  // every record carries the CRC of its source
  const std::int64_t first =
      config->licenseoffset - 8 - 3 * static_cast<std::int64_t>(kDirectoryRecordSize);
  for (int i = 0; i < 3; ++i) {
    DirectoryRecord r;
    std::memcpy(&r, bytes.data() + first + i * kDirectoryRecordSize, sizeof r);
    std::string rel = Utf16ToUtf8(ReadWide(r.subfolder) + u"/" + ReadWide(r.filename));
    for (char& ch : rel) ch = ch == '\\' ? '/' : ch;
    const auto src = ReadFileBytes(dir_ / ("src" + rel));
    ASSERT_TRUE(FileContentCrc(r)) << rel;
    EXPECT_EQ(*FileContentCrc(r), Crc32(src.data(), src.size())) << rel;
  }

  std::ostringstream out, err;
  EXPECT_EQ(VerifyPackage(options_.output, Unlock{{}, options_.password}, out, err), 0)
      << err.str();
  EXPECT_EQ(ExtractPackage(options_.output, dir_ / "out", Unlock{{}, options_.password}, out, err),
            0)
      << err.str();
  for (const char* rel : {"tool.exe", "sub/text.txt", "empty.txt"}) {
    EXPECT_EQ(ReadFileBytes(dir_ / "out" / rel), ReadFileBytes(dir_ / "src" / rel)) << rel;
  }
  fs::remove_all(dir_ / "out");

  struct Refusal {
    Unlock unlock;
    const char* says;
  };
  const Refusal refusals[] = {
      {{{}, std::string("passw\xC3\xB6rd")}, "wrong password for "},
      {{{}, std::nullopt}, "is protected by a password: give --password-file"},
  };
  for (const Refusal& r : refusals) {
    std::ostringstream o, e;
    EXPECT_EQ(VerifyPackage(options_.output, r.unlock, o, e), 1);
    EXPECT_NE(e.str().find(r.says), std::string::npos) << e.str();
    EXPECT_EQ(o.str(), "") << "nothing was read";
    EXPECT_EQ(ExtractPackage(options_.output, dir_ / "out", r.unlock, o, e), 1);
    EXPECT_FALSE(fs::exists(dir_ / "out"));
  }
  // a raw key that is not the derived one: every file fails its check, none is left behind
  std::ostringstream o, e;
  EXPECT_EQ(ExtractPackage(options_.output, dir_ / "out", Unlock{{1, 2, 3}, std::nullopt}, o, e),
            1);
  EXPECT_NE(o.str().find("File corrupt"), std::string::npos) << o.str();
  EXPECT_FALSE(fs::exists(dir_ / "out" / "tool.exe"));

  // a key and a password together, or an empty password, are refused by the builder
  options_.key = {1, 2, 3};
  EXPECT_FALSE(Build());
  options_.key.clear();
  options_.password = "";
  EXPECT_FALSE(Build());
}

// The identity travels in the record; an association without a class gets one of the product's
// own; a main program or a shortcut target that is not packed is refused with its line.
TEST_F(PackTest, IdentityClassAndProgramsThatMustBePacked) {
  Source("tool.exe", testing::RandomBytes(10, 1));
  const std::string files = "[[files]]\nsource = \"src\"\n";
  ASSERT_TRUE(
      Parse("displayname = \"Tool\"\nid = \"com.halvard.tool\"\nexename = \"tool.exe\"\n"
            "[association]\nextension = \".tl\"\n" +
            files))
      << error_;
  EXPECT_EQ(manifest_.assocclass.rfind("Kestrel.comhalvardtool.", 0), 0u) << manifest_.assocclass;
  ASSERT_TRUE(Build()) << error_;
  const auto bytes = ReadFileBytes(options_.output);
  ConfigRecord c;
  std::memcpy(&c, bytes.data() + bytes.size() - sizeof c, sizeof c);
  EXPECT_EQ(ProductIdentity(c), "com.halvard.tool");
  EXPECT_EQ(AssociationClass(c), manifest_.assocclass);
  // without an id: the display name, as packages always named their entry
  ASSERT_TRUE(Parse(std::string(kHead) + files)) << error_;
  ASSERT_TRUE(Build()) << error_;
  const auto plain = ReadFileBytes(options_.output);
  std::memcpy(&c, plain.data() + plain.size() - sizeof c, sizeof c);
  EXPECT_EQ(ProductIdentity(c), "Tool");

  EXPECT_FALSE(Parse("displayname = \"Tool\"\nexename = \"missing.exe\"\n" + files));
  EXPECT_EQ(error_.rfind("exename (manifest line 2): \"missing.exe\" is not among the packed", 0),
            0u)
      << error_;
  EXPECT_FALSE(Parse(std::string(kHead) +
                     "[[shortcuts]]\ntarget = \"gone.exe\"\ncaption = \"G\"\n" + files));
  EXPECT_NE(error_.find("shortcuts entry 1 target (manifest line 4): \"gone.exe\""),
            std::string::npos)
      << error_;
  EXPECT_FALSE(Parse("displayname = \"Tool\"\nid = \"a\\\\b\"\nexename = \"tool.exe\"\n" + files));
  EXPECT_NE(error_.find("id (manifest line 2)"), std::string::npos) << error_;
}

// Two builds with the same password get different salts, so different keys.
TEST_F(PackTest, EachBuildGetsItsOwnSalt) {
  Source("a.bin", testing::RandomBytes(100, 12));
  Source("tool.exe", testing::RandomBytes(10, 99));  // the main program setup registers
  ASSERT_TRUE(Parse(std::string(kHead) + "[[files]]\nsource = \"src\"\n")) << error_;
  options_.password = "same";
  options_.iterations = 10;
  std::vector<std::array<std::uint8_t, kSaltBytes>> salts;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Build()) << error_;
    const auto bytes = ReadFileBytes(options_.output);
    PackageHeader header;
    std::memcpy(&header, bytes.data() + 1000, sizeof header);
    ASSERT_TRUE(ReadPasswordData(header));
    salts.push_back(ReadPasswordData(header)->salt);
  }
  EXPECT_NE(salts[0], salts[1]);
  // more than setup would ever derive is refused before anything is written
  options_.iterations = 10000001;
  EXPECT_FALSE(Build());
  EXPECT_EQ(error_, "at most 10000000 iterations");
}

TEST(PasswordFile, OneLineOfUtf8) {
  ScratchDir dir;
  struct Case {
    std::string bytes;
    const char* password;  // null: refused
  };
  const Case cases[] = {
      {"secret", "secret"},
      {"secret\n", "secret"},
      {"secret\r\n", "secret"},
      {"secret\r\n\r\n", "secret"},
      {"\xEF\xBB\xBFs\xC3\xA9same", "s\xC3\xA9same"},  // a byte-order mark is dropped
      {"  blanks count  \n", "  blanks count  "},
      {"", nullptr},
      {"\r\n", nullptr},
      {"two\nlines", nullptr},
      {"cr\rinside", nullptr},
      {std::string("nul\0byte", 8), nullptr},
      {"latin1 \xE9", nullptr},
      {"overlong \xC0\xAF", nullptr},
      {"surrogate \xED\xA0\x80", nullptr},
      {"cut \xE2\x82", nullptr},
  };
  for (const Case& c : cases) {
    WriteFileBytes(dir / "pw.txt", std::vector<std::uint8_t>(c.bytes.begin(), c.bytes.end()));
    std::string password, error;
    const bool ok = ReadPasswordFile(dir / "pw.txt", password, error);
    EXPECT_EQ(ok, c.password != nullptr) << c.bytes << ": " << error;
    if (c.password) {
      EXPECT_EQ(password, c.password);
    } else {
      EXPECT_NE(error.find("pw.txt"), std::string::npos) << error;
    }
  }
  std::string password, error;
  EXPECT_FALSE(ReadPasswordFile(dir / "missing.txt", password, error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

}  // namespace
}  // namespace kestrel::pack

namespace kestrel::pack {
namespace {

// The solid stream's bytes as they stand in the package: the blocks' pieces joined.
std::vector<std::uint8_t> SolidStreamBytes(const std::vector<std::uint8_t>& setup,
                                           const SolidStreamRef& ref, std::int32_t packageoffset) {
  std::vector<std::uint8_t> stream;
  std::size_t at = static_cast<std::size_t>(packageoffset + ref.dataoffset);
  for (;;) {
    BlockHeader h;
    std::memcpy(&h, setup.data() + at, sizeof h);
    at += sizeof h;
    stream.insert(stream.end(), setup.begin() + static_cast<std::ptrdiff_t>(at),
                  setup.begin() + static_cast<std::ptrdiff_t>(at + h.bitcount / 8));
    at += PayloadBytes(h.bitcount);
    if (h.lastblock == 1) return stream;
  }
}

// Rewrites the Configuration record's extension with `change` applied to its items.
void PatchItems(const fs::path& setup,
                const std::function<void(std::vector<ConfigItem>&)>& change) {
  auto bytes = ReadFileBytes(setup);
  ConfigRecord c;
  const std::size_t at = bytes.size() - sizeof c;
  std::memcpy(&c, bytes.data() + at, sizeof c);
  const auto ext = ExtensionView::Parse(c.reserved11628);
  ASSERT_TRUE(ext);
  std::vector<ConfigItem> items;
  for (std::uint8_t tag = 1; tag < 16; ++tag) {
    if (const auto item = ext->Find(tag))
      items.push_back({static_cast<ConfigTag>(tag), {item->begin(), item->end()}});
  }
  change(items);
  ExtensionBuilder b(c.reserved11628);
  for (const auto& i : items) ASSERT_TRUE(b.Add(i.tag, std::span<const std::uint8_t>(i.bytes)));
  b.Finish();
  std::memcpy(bytes.data() + at, &c, sizeof c);
  WriteFileBytes(setup, bytes);
}

std::optional<SolidStreamRef> ReadSolidRef(const fs::path& setup, ConfigRecord& c) {
  const auto bytes = ReadFileBytes(setup);
  std::memcpy(&c, bytes.data() + bytes.size() - sizeof c, sizeof c);
  const auto ext = ExtensionView::Parse(c.reserved11628);
  const auto item = ext ? ext->Find(ConfigTag::kSolidStream) : std::nullopt;
  return item ? SolidStreamRef::Load(*item) : std::nullopt;
}

// A product with repeated, empty, large and small files, packed solid: plain, with a raw key
// and with a password, every thread count giving the same file, several segments in one stream,
// read back by verify and extract and, independently, by xz.
TEST_F(PackTest, Lzma2RoundTripsAndXzReadsItsStream) {
  std::vector<std::string> rels;
  const auto big = testing::RandomBytes(700000, 30);  // spans several of the reader's slots
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 97) + " of the guide\n";
  for (int i = 0; i < 24; ++i) {
    const std::string rel =
        (i % 2 ? "bin/f" : "doc/g") + std::to_string(i) + (i % 3 ? ".dll" : ".txt");
    std::vector<std::uint8_t> bytes = i == 5       ? big
                                      : i % 6 == 4 ? ReadFileBytes(dir_ / "src" / rels[i - 3])
                                      : i == 7     ? std::vector<std::uint8_t>{}
                                      : i == 9 ? std::vector<std::uint8_t>(text.begin(), text.end())
                                               : testing::RandomBytes(100 + i * 333, i);
    Source(rel, bytes);
    rels.push_back(rel);
  }
  Source("tool.exe", testing::RandomBytes(77, 29));  // the main program the manifest names
  rels.push_back("tool.exe");
  ASSERT_TRUE(Parse(std::string(kHead) + "codec = \"lzma2\"\n[[files]]\nsource = \"src\"\n"))
      << error_;
  options_.solid.segment = 256 << 10;
  options_.level = Level::kFast;
  std::vector<std::uint8_t> single;
  for (unsigned threads : {1u, 3u}) {
    options_.threads = threads;
    fs::remove_all(dir_ / "out");
    RoundTrip(rels);
    EXPECT_EQ(result_.codec, Codec::kLzma2);
    EXPECT_EQ(result_.shared_files, 4u);
    if (threads == 1) single = ReadFileBytes(options_.output);
  }
  EXPECT_EQ(ReadFileBytes(options_.output), single);
  std::ostringstream listed, err;
  ASSERT_EQ(ListPackage(options_.output, listed, err), 0) << err.str();
  EXPECT_NE(listed.str().find("Codec:          lzma2, one solid stream"), std::string::npos);

  // xz decodes the stream to the stored files' content in directory order
  ConfigRecord c;
  const auto ref = ReadSolidRef(options_.output, c);
  ASSERT_TRUE(ref);
  EXPECT_LT(ref->packed, result_.content_bytes);
  WriteFileBytes(dir_ / "stream.lzma2",
                 SolidStreamBytes(ReadFileBytes(options_.output), *ref, c.packageoffset));
  const std::string command =
      "xz --format=raw --lzma2=dict=" + std::to_string(Lzma2DictionaryBytes(ref->dictionary)) +
      " -dc '" + (dir_ / "stream.lzma2").string() + "' > '" + (dir_ / "stream.out").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::uint8_t> expected;
  auto host = MakeHostFileSystem();
  PackageReader reader(*host);
  reader.programpath = PackagePath(options_.output);
  reader.packageoffset = c.packageoffset;
  reader.packageend = c.licenseoffset;
  reader.config = &c;
  ASSERT_TRUE(reader.OpenPackage());
  std::int64_t next = 0;
  for (std::size_t i = 0; i < reader.records.size(); ++i) {
    const DirectoryRecord r = reader.records[i];
    if (r.filesize == 0 || r.dataoffset != next) continue;  // repeats point back
    std::string rel = Utf16ToUtf8(ReadWide(r.subfolder) + u"/" + ReadWide(r.filename));
    for (char& ch : rel) ch = ch == '\\' ? '/' : ch;
    const auto src = ReadFileBytes(dir_ / ("src" + rel));
    expected.insert(expected.end(), src.begin(), src.end());
    next += r.filesize;
  }
  EXPECT_EQ(ReadFileBytes(dir_ / "stream.out"), expected);

  // enciphered with a raw key and with a password
  options_.threads = 2;
  options_.key = {'s', 'o', 'l', 'i', 'd'};
  fs::remove_all(dir_ / "out");
  RoundTrip(rels, options_.key);
  std::string out;
  EXPECT_NE(Verify(&out), 0);
  options_.key.clear();
  options_.password = "solid password";
  options_.iterations = 1000;
  ASSERT_TRUE(Build()) << error_;
  std::ostringstream o, e;
  fs::remove_all(dir_ / "out");
  EXPECT_EQ(ExtractPackage(options_.output, dir_ / "out", Unlock{{}, options_.password}, o, e), 0)
      << e.str();
  for (const auto& rel : rels)
    EXPECT_EQ(ReadFileBytes(dir_ / "out" / rel), ReadFileBytes(dir_ / "src" / rel)) << rel;
}

// The writer's stages run alone: the walk puts a solid package's files in extension-then-name
// order, the dedupe finds the repeat, and the encode and directory stages write into memory
// what the records then point at.
TEST_F(PackTest, WriterStagesRunAlone) {
  Source("z/readme.TXT", {'r'});
  Source("b.dll", testing::RandomBytes(3000, 50));
  Source("a/notes.txt", {'n', 'n'});
  Source("c.DLL", ReadFileBytes(dir_ / "src" / "b.dll"));
  ASSERT_TRUE(Parse("displayname = \"Tool\"\nexename = \"b.dll\"\n[[files]]\nsource = \"src\"\n"))
      << error_;
  class MemoryOut final : public PackageOut {
   public:
    bool Write(const void* data, std::size_t n) override {
      const auto* p = static_cast<const std::uint8_t*>(data);
      bytes.insert(bytes.end(), p, p + n);
      return true;
    }
    std::uint64_t pos() const override { return bytes.size(); }
    std::vector<std::uint8_t> bytes;
  };
  PackageBuild build(manifest_, options_);
  build.codec = Codec::kLzma2;
  ASSERT_TRUE(build.Walk(error_)) << error_;
  std::vector<std::u16string> names;
  for (const auto& f : build.files) names.push_back(f.filename);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"b.dll", u"c.DLL", u"notes.txt", u"readme.TXT"}));
  ASSERT_TRUE(build.Dedupe(error_)) << error_;
  EXPECT_EQ(build.same_as,
            (std::vector<std::size_t>{std::string::npos, 0, std::string::npos, std::string::npos}));
  ASSERT_TRUE(build.PlanRecords(error_)) << error_;
  MemoryOut out;
  ASSERT_TRUE(build.Encode(out, error_)) << error_;
  ASSERT_TRUE(build.solid);
  EXPECT_EQ(build.solid->unpacked, 3003u);
  const std::vector<std::int64_t> offsets = {
      build.records[0].dataoffset, build.records[1].dataoffset, build.records[2].dataoffset,
      build.records[3].dataoffset};
  EXPECT_EQ(offsets, (std::vector<std::int64_t>{0, 0, 3000, 3002}));
  ASSERT_TRUE(build.WriteDirectory(out, error_)) << error_;
  std::vector<ConfigTag> tags;
  for (const auto& item : build.directory_items) tags.push_back(item.tag);
  EXPECT_EQ(tags, (std::vector<ConfigTag>{ConfigTag::kSolidDirectory, ConfigTag::kSolidStream}));
  EXPECT_EQ(build.result.shared_files, 1u);
}

// A solid package this program cannot read whole is refused before any file is created: an
// unknown codec, a dictionary past the limit, a dictionary smaller than the stream uses (a lie),
// a missing codec item (an older reader's view), damaged and cut streams. Damage inside the
// stream fails the file it falls in, which is removed.
TEST_F(PackTest, Lzma2DamageAndUnknownCodecsAreRefused) {
  // matches reach 300 KiB back: a stream that says 256 KiB cannot reach them
  auto block = testing::RandomBytes(300 << 10, 40);
  std::vector<std::uint8_t> twice = block;
  twice.insert(twice.end(), block.begin(), block.end());
  Source("a.bin", twice);
  Source("b.txt", testing::RandomBytes(1000, 41));
  ASSERT_TRUE(Parse("displayname = \"Tool\"\nexename = \"b.txt\"\n[[files]]\nsource = \"src\"\n"))
      << error_;
  ASSERT_TRUE(Build()) << error_;
  const auto good = ReadFileBytes(options_.output);
  ConfigRecord c;
  const auto ref = ReadSolidRef(options_.output, c);
  ASSERT_TRUE(ref);
  EXPECT_GE(Lzma2DictionaryBytes(ref->dictionary), 600u << 10);

  struct Case {
    const char* what;
    std::function<void()> damage;
    const char* says;
    bool created;  // a file may be made before the damage is met
  };
  auto patch_ref = [&](auto change) {
    return [&, change] {
      PatchItems(options_.output, [&](std::vector<ConfigItem>& items) {
        for (auto& i : items) {
          if (i.tag != ConfigTag::kSolidStream) continue;
          auto r = *SolidStreamRef::Load(i.bytes);
          change(r);
          r.Store(i.bytes.data());
        }
      });
    };
  };
  const std::size_t stream_at = static_cast<std::size_t>(c.packageoffset + ref->dataoffset);
  const Case cases[] = {
      {"unknown codec", patch_ref([](SolidStreamRef& r) { r.codec = static_cast<Codec>(9); }),
       "compressed with a method this setup program does not know", false},
      {"dictionary past the limit",
       patch_ref([](SolidStreamRef& r) { r.dictionary = Lzma2DictionaryProp(128u << 20); }),
       "needs more memory to unpack", false},
      {"dictionary lie",
       patch_ref([](SolidStreamRef& r) { r.dictionary = Lzma2DictionaryProp(256u << 10); }),
       "File corrupt", true},
      {"more content than the stream holds", patch_ref([](SolidStreamRef& r) { r.unpacked += 1; }),
       "File corrupt", false},
      {"codec item gone",
       [&] {
         PatchItems(options_.output, [](std::vector<ConfigItem>& items) {
           std::erase_if(items,
                         [](const ConfigItem& i) { return i.tag == ConfigTag::kSolidStream; });
         });
       },
       "File corrupt", false},
      {"stream damaged",
       [&] {
         auto bytes = good;
         bytes[stream_at + 12 + 5000] ^= 0x40;
         WriteFileBytes(options_.output, bytes);
         // without the package checksum, which would catch the flip first, as from an older packer
         PatchItems(options_.output, [](std::vector<ConfigItem>& items) {
           std::erase_if(items,
                         [](const ConfigItem& i) { return i.tag == ConfigTag::kPackageChecksum; });
         });
       },
       "File corrupt", true},
      {"stream cut short", patch_ref([](SolidStreamRef& r) { r.packed -= 1; }), "File corrupt",
       true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    WriteFileBytes(options_.output, good);
    k.damage();
    std::string out;
    EXPECT_EQ(Verify(&out), 1);
    EXPECT_NE(out.find(k.says), std::string::npos) << out;
    fs::remove_all(dir_ / "out");
    EXPECT_EQ(Extract(&out), 1);
    EXPECT_NE(out.find(k.says), std::string::npos) << out;
    if (!k.created) {
      EXPECT_FALSE(fs::exists(dir_ / "out" / "a.bin"));
    }
    // a file known to be wrong is never left behind
    EXPECT_FALSE(fs::exists(dir_ / "out" / "a.bin") &&
                 ReadFileBytes(dir_ / "out" / "a.bin") != twice);
  }
}

}  // namespace
}  // namespace kestrel::pack
