// A package's names in any script, its languages and the vendor's texts: from the manifest through
// the packer into the package and back as setup reads them at start-up.
#include "package/locale.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pack/manifest.h"
#include "pack/tools.h"
#include "pack/writer.h"
#include "package/directory.h"
#include "package/identity.h"
#include "package/solid.h"
#include "package/startload.h"
#include "package_fixture.h"
#include "pe_fixture.h"
#include "sysutil/codepage.h"

namespace kestrel::pack {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::WriteFileBytes;

class LocaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir_ / "stub.exe", testing::MinimalPe(false));
    fs::create_directories(dir_ / "src");
    WriteFileBytes(dir_ / "src" / "tool.exe", testing::RandomBytes(2000, 7));
    options_.stub = dir_ / "stub.exe";
    options_.buildtime = 45000.5;
    options_.chainseed = 42;
  }
  // Builds `toml` (behind a product head) into `name`; its package bytes, or 0 on failure.
  std::uint64_t Build(const std::string& head, const std::string& toml, const std::string& name) {
    Manifest m;
    error_.clear();
    if (!ParseManifest(head + toml + "[[files]]\nsource = \"src\"\n", dir_.path(), m, error_)) {
      return 0;
    }
    manifest_ = m;
    options_.output = dir_ / name;
    BuildResult result;
    if (!BuildPackage(m, options_, result, error_)) return 0;
    return result.package_bytes;
  }
  // Reads the package as setup does at start-up.
  LocaleLoad Read(const std::string& name, ConfigRecord& config, LocaleData& data) {
    auto fs = MakeHostFileSystem();
    auto file = fs->NewFile();
    EXPECT_TRUE(file->OpenRead(PackagePath(dir_ / name)));
    std::string licence;
    EXPECT_EQ(LoadStartupPackage(*file, config, licence), StartupLoad::kOk);
    return ReadLocale(*file, config, data);
  }

  ScratchDir dir_;
  Manifest manifest_;
  BuildOptions options_;
  std::string error_;
};

const std::string kGreek =
    "displayname = \"Σημειώσεις Acme\"\nexename = \"tool.exe\"\nversion = \"2.4 βήτα\"\n"
    "installfolder = \"アクメ/ノート\"\nappdatafolder = \"Σημειώσεις\"\n";
// the tables behind the keys
const std::string kGreekTables =
    "[[shortcuts]]\ntarget = \"tool.exe\"\ncaption = \"Εργαλείο\"\n"
    "[[shortcuts]]\ntarget = \"tool.exe\"\narguments = \"-x\"\ncaption = \"Plain\"\n"
    "[association]\nextension = \".acn\"\ndescription = \"Σημείωση\"\n";

TEST_F(LocaleTest, NamesLanguagesAndOverridesRoundTripThroughThePackage) {
  ASSERT_NE(Build(kGreek + "languages = [\"de\", \"JA\", \"ar\", \"de\"]\nbrand = \"Acme Setup\"\n",
                  kGreekTables + "[texts.de]\nfinish_label = \"Fertig, {name}!\"\n"
                                 "[texts.en]\nclick_next = \"Press Next.\"\n",
                  "setup.exe"),
            0u)
      << error_;
  ConfigRecord config{};
  LocaleData data;
  ASSERT_EQ(Read("setup.exe", config, data), LocaleLoad::kOk);

  // the 8-bit fields keep a Windows-1252 form; the names come back exactly
  EXPECT_EQ(ReadShort(config.displayname), "__________ Acme");
  const ProductNames names = ResolveNames(config, data.names);
  EXPECT_EQ(names.displayname, u"Σημειώσεις Acme");
  EXPECT_EQ(names.version, u"2.4 βήτα");
  EXPECT_EQ(names.appdatafolder, u"Σημειώσεις");
  EXPECT_EQ(names.assocdescription, u"Σημείωση");
  EXPECT_EQ(names.shortcutcaptions[0], u"Εργαλείο");
  EXPECT_EQ(names.shortcutcaptions[1], u"Plain");  // plain ASCII lives in the record alone
  EXPECT_TRUE(data.names.shortcutcaptions[1].empty());
  EXPECT_EQ(ReadWide(config.installfolder), u"\\アクメ\\ノート");
  // its identity is not the 8-bit form alone, which another product named in Greek could share
  const std::string id = ProductIdentity(config);
  EXPECT_EQ(id.rfind("__________ Acme-", 0), 0u) << id;
  EXPECT_EQ(id.size(), std::string("__________ Acme-").size() + 8);
  EXPECT_EQ(data.brand, u"Acme Setup");

  // English with the vendor's text first, then the selected languages, each once
  EXPECT_EQ(data.Codes(), (std::vector<std::string>{"en", "de", "ja", "ar"}));
  Texts& texts = Texts::Current();
  texts.Reset();
  texts.Apply(*data.Find("en"));
  EXPECT_EQ(Tr(TextId::click_next), u"Press Next.");
  EXPECT_EQ(Tr(TextId::finish_title), u"Installation Completed!");
  texts.Reset();
  texts.Apply(*data.Find("de"));
  EXPECT_EQ(Tr(TextId::finish_label, {{u"name", names.displayname}}), u"Fertig, Σημειώσεις Acme!");
  EXPECT_EQ(Tr(TextId::finish_title), u"Installation abgeschlossen!");
  EXPECT_EQ(Tr(TextId::button_next), u"&Weiter  >");
  texts.Reset();
  texts.Apply(*data.Find("ar"));
  EXPECT_TRUE(texts.rtl());
  EXPECT_EQ(data.Find("ja")->texts.size(), kTextCount);
  texts.Reset();

  // a package of plain names and no languages carries no locale at all
  ASSERT_NE(Build("displayname = \"Tool\"\nexename = \"tool.exe\"\n", "", "plain.exe"), 0u);
  ConfigRecord plain{};
  LocaleData none;
  EXPECT_EQ(Read("plain.exe", plain, none), LocaleLoad::kAbsent);
}

TEST_F(LocaleTest, DamageToTheStreamReadsAsDamage) {
  ASSERT_NE(Build(kGreek + "languages = [\"de\"]\n", kGreekTables, "setup.exe"), 0u) << error_;
  ConfigRecord config{};
  LocaleData data;
  ASSERT_EQ(Read("setup.exe", config, data), LocaleLoad::kOk);
  const auto ext = ExtensionView::Parse(config.reserved11628);
  const auto ref = LocaleRef::Load(*ext->Find(ConfigTag::kLocale));
  ASSERT_TRUE(ref);
  // flip a byte in the run: the CRC (or the decoder) catches it
  std::vector<std::uint8_t> bytes = testing::ReadFileBytes(dir_ / "setup.exe");
  bytes[static_cast<std::size_t>(config.packageoffset + ref->dataoffset + 40)] ^= 0x55;
  WriteFileBytes(dir_ / "flipped.exe", bytes);
  auto fs = MakeHostFileSystem();
  auto file = fs->NewFile();
  ASSERT_TRUE(file->OpenRead(PackagePath(dir_ / "flipped.exe")));
  EXPECT_EQ(ReadLocale(*file, config, data), LocaleLoad::kDamaged);
  // a stream cut anywhere is refused whole
  const std::vector<std::uint8_t> stream = EncodeLocale(data);
  for (std::size_t cut = 1; cut < stream.size(); cut += 97) {
    EXPECT_FALSE(DecodeLocale(std::span(stream.data(), cut)).has_value()) << cut;
  }
}

TEST_F(LocaleTest, ManifestMistakesAreNamed) {
  const std::string head = "displayname = \"Tool\"\nexename = \"tool.exe\"\n";
  const std::pair<std::string, std::string> cases[] = {
      {"languages = [\"xx\"]\n", "\"xx\" is not a language"},
      {"languages = \"some\"\n", "languages: must be \"all\""},
      {"languages = [\"de\"]\n[texts.fr]\nfinish_title = \"x\"\n", "not in \"languages\""},
      {"languages = [\"de\"]\n[texts.de]\nfinsh_title = \"x\"\n",
       "\"finsh_title\" is not the name"},
      {"languages = [\"de\"]\n[texts.de]\nfinish_label = \"{nmae}\"\n", "{nmae} is not filled"},
      {"brand = \"\"\n", "brand:"},
      {"appdatafolder = \"Σ:x\"\n", "appdatafolder"},
  };
  for (const auto& [toml, want] : cases) {
    EXPECT_EQ(Build(head, toml, "bad.exe"), 0u) << toml;
    EXPECT_NE(error_.find(want), std::string::npos) << toml << " -> " << error_;
  }
  // leaving a placeholder out is allowed, and said
  ASSERT_NE(Build(head, "languages = [\"de\"]\n[texts.de]\nfinish_label = \"Fertig.\"\n", "ok.exe"),
            0u)
      << error_;
  ASSERT_EQ(manifest_.warnings.size(), 1u);
  EXPECT_NE(manifest_.warnings[0].find("leaves out {name}"), std::string::npos);
}

// A BMP of `width` x `height` with no pixels behind its headers: enough for the header check.
std::vector<std::uint8_t> BmpHeader(std::int32_t width, std::int32_t height) {
  std::vector<std::uint8_t> b = {'B', 'M'};
  auto le = [&b](std::int64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  le(54, 4), le(0, 4), le(54, 4), le(40, 4), le(width, 4), le(height, 4), le(1, 2), le(24, 2);
  b.resize(54, 0);
  return b;
}

TEST_F(LocaleTest, TheVendorsPictureIsCheckedAndStored) {
  const std::string head = "displayname = \"Tool\"\nexename = \"tool.exe\"\n";
  const std::vector<std::uint8_t> side = BmpHeader(131, 303);
  WriteFileBytes(dir_ / "side.bmp", side);
  ASSERT_NE(Build(head, "image = \"side.bmp\"\n", "pic.exe"), 0u) << error_;
  ConfigRecord config{};
  LocaleData data;
  ASSERT_EQ(Read("pic.exe", config, data), LocaleLoad::kOk);
  EXPECT_EQ(data.picture, side);
  EXPECT_TRUE(data.languages.empty());

  // not a picture, too large a side, too many bytes, no file: refused, saying which
  WriteFileBytes(dir_ / "side.png", {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13});
  WriteFileBytes(dir_ / "wide.bmp", BmpHeader(5000, 300));
  std::vector<std::uint8_t> heavy = side;
  heavy.resize((1u << 20) + 1, 0);
  WriteFileBytes(dir_ / "heavy.bmp", heavy);
  const std::pair<std::string, std::string> cases[] = {
      {"side.png", "image " + (dir_ / "side.png").string() + " is not a JPEG or BMP picture"},
      {"wide.bmp", "of 1 to 4096 pixels a side"},
      {"heavy.bmp", "heavy.bmp"},
      {"none.jpg", "none.jpg"},
  };
  for (const auto& [file, want] : cases) {
    EXPECT_EQ(Build(head, "image = \"" + file + "\"\n", "bad.exe"), 0u) << file;
    EXPECT_NE(error_.find(want), std::string::npos) << file << " -> " << error_;
  }
}

TEST_F(LocaleTest, ThePackageGrowsOnlyByTheSelectedLanguages) {
  const std::string head = "displayname = \"Tool\"\nexename = \"tool.exe\"\n";
  const std::uint64_t english = Build(head, "", "en.exe");
  const std::uint64_t german = Build(head, "languages = [\"de\"]\n", "de.exe");
  const std::uint64_t two = Build(head, "languages = [\"de\", \"ja\"]\n", "two.exe");
  const std::uint64_t all = Build(head, "languages = \"all\"\n", "all.exe");
  ASSERT_GT(english, 0u);
  // a language costs a few kilobytes, coded; sixteen stay well under 64 KB
  EXPECT_GT(german, english);
  EXPECT_LT(german - english, 6000u);
  EXPECT_GT(two, german);
  EXPECT_LT(all - english, 16u * 6000u);
  std::printf("package bytes: English only %llu, +de %llu, +de+ja %llu, +all 16 %llu\n",
              static_cast<unsigned long long>(english),
              static_cast<unsigned long long>(german - english),
              static_cast<unsigned long long>(two - english),
              static_cast<unsigned long long>(all - english));
}

}  // namespace
}  // namespace kestrel::pack
