// The translation check and the language machinery: every language has every text with the
// English text's placeholders, tables round-trip, and a run picks the language a user expects.
#include "sysutil/texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pack/translations.h"
#include "package/integrity.h"
#include "sysutil/cmfconst.h"
#include "sysutil/codepage.h"
#include "tests/textplaces.h"
#include "wizard/layout.h"

namespace kestrel {
namespace {

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

int Ampersands(std::string_view s) {
  return static_cast<int>(std::count(s.begin(), s.end(), '&'));
}

TEST(TranslationCheck, EveryLanguageHasEveryTextWithItsPlaceholdersAndAccessKey) {
  const std::vector<std::string> languages = pack::TranslatedLanguages();
  ASSERT_EQ(languages.size(), 16u);
  for (std::size_t i = 0; i < kTextCount; ++i) {
    const auto id = static_cast<TextId>(i);
    const std::string_view english = EnglishText(id);
    const auto want = Sorted(pack::Placeholders(english));
    for (const std::string& l : languages) {
      SCOPED_TRACE(l + " " + std::string(TextKey(id)));
      const auto text = pack::CatalogText(id, l);
      ASSERT_TRUE(text) << "missing";
      EXPECT_FALSE(text->empty());
      EXPECT_EQ(Sorted(pack::Placeholders(*text)), want);
      // a button's or an answer's access key survives translation, once
      EXPECT_EQ(Ampersands(*text), Ampersands(english));
      EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(*text)), *text) << "not valid UTF-8";
    }
  }
}

// setup.exe carries the English texts packed at build time: each unpacks to the catalog's own
// literal, and the texts other parts of the program keep for themselves say the same.
TEST(TranslationCheck, PackedEnglishIsTheCatalogs) {
  static constexpr const char* kLiterals[] = {
#define KESTREL_TEXT(id, english, ...) english,
#include "sysutil/textcatalog.inc"
#undef KESTREL_TEXT
  };
  ASSERT_EQ(std::size(kLiterals), kTextCount);
  for (std::size_t i = 0; i < kTextCount; ++i) {
    EXPECT_EQ(EnglishText(static_cast<TextId>(i)), kLiterals[i]) << TextKey(static_cast<TextId>(i));
  }
  EXPECT_EQ(Utf8ToUtf16(EnglishText(TextId::setup_damaged)), kDamagedSetupMessage);
  EXPECT_EQ(std::u16string(kStatusCorrupt), u"File corrupt");
  EXPECT_TRUE(u"File corrupt" == kStatusCorrupt);
  EXPECT_FALSE(u"File corrupt." == kStatusCorrupt);
}

TEST(TranslationCheck, NamesAreUniqueAndFound) {
  for (std::size_t i = 0; i < kTextCount; ++i) {
    const auto id = static_cast<TextId>(i);
    EXPECT_EQ(FindText(TextKey(id)), id) << TextKey(id);
  }
  EXPECT_FALSE(FindText("no_such_text"));
}

// The width check measures every text where it is shown: each text says where, once, and names
// controls the wizard has.
TEST(TranslationCheck, EveryTextSaysWhereItIsShown) {
  std::vector<int> seen(kTextCount, 0);
  for (const textfit::TextPlace& p : textfit::kTextPlaces) {
    ++seen[static_cast<std::size_t>(p.id)];
    if (p.controls.empty() || p.controls[0] == '@' || p.controls == textfit::kPart) continue;
    std::string_view list = p.controls;
    while (!list.empty()) {
      const std::size_t blank = list.find(' ');
      const std::string_view ctl = list.substr(0, blank);
      list = blank == list.npos ? std::string_view() : list.substr(blank + 1);
      EXPECT_NE(std::find(kWizCtlNames.begin(), kWizCtlNames.end(), ctl), kWizCtlNames.end())
          << TextKey(p.id) << ": " << ctl;
    }
  }
  for (std::size_t i = 0; i < kTextCount; ++i) {
    EXPECT_EQ(seen[i], 1) << TextKey(static_cast<TextId>(i)) << " in tests/textplaces.h";
  }
}

TEST(Texts, FillsPlaceholdersAndFallsBackToEnglish) {
  EXPECT_EQ(FillText(u"{brand} will install {name} {version}{x}", u"Acme",
                     {{u"name", u"Notes {version}"}, {u"version", u"2.4"}}),
            u"Acme will install Notes {version} 2.4{x}");
  EXPECT_EQ(FillText(u"a {b", u"K", {}), u"a {b");

  Texts& texts = Texts::Current();
  texts.Reset();
  EXPECT_EQ(Tr(TextId::caption_install, {{u"name", u"Notes"}}), u"Notes Installer - Kestrel");
  EXPECT_EQ(Tr(TextId::click_finish), u"Click 'Finish' to exit Kestrel.");

  TextTable table{"ar", u"Vendor", {{"finish_title", u"اكتمل التثبيت!"}, {"unknown", u"x"}}};
  const auto decoded = DecodeTextTable(EncodeTextTable(table));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->language, "ar");
  EXPECT_EQ(decoded->brand, u"Vendor");
  EXPECT_EQ(decoded->texts, table.texts);
  texts.Apply(*decoded);
  EXPECT_TRUE(texts.rtl());
  EXPECT_EQ(Tr(TextId::finish_title), u"اكتمل التثبيت!");
  // a text the table lacks stays English, with the vendor's brand
  EXPECT_EQ(Tr(TextId::click_finish), u"Click 'Finish' to exit Vendor.");
  texts.Reset();
  EXPECT_FALSE(texts.rtl());

  // damage is refused: cut short, trailing bytes, an unknown language, a newer version
  std::vector<std::uint8_t> bytes = EncodeTextTable(table);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(DecodeTextTable(std::span(bytes.data(), cut))) << cut;
  }
  bytes.push_back(0);
  EXPECT_FALSE(DecodeTextTable(bytes));
  EXPECT_FALSE(DecodeTextTable(EncodeTextTable({"xx", u"", {}})));
  bytes = EncodeTextTable(table);
  bytes[0] = 2;
  EXPECT_FALSE(DecodeTextTable(bytes));
}

TEST(Texts, SelectsTheUsersLanguageThenItsPrimaryThenEnglish) {
  const std::vector<std::string> some = {"de", "pt-BR", "zh-Hant", "ar"};
  struct Case {
    std::uint16_t langid;
    std::string_view requested;
    std::string_view want;
  };
  const Case cases[] = {
      {0x0407, "", "de"},            // German (Germany)
      {0x0C07, "", "de"},            // German (Austria): the same primary language
      {0x0416, "", "pt-BR"},         // Portuguese (Brazil)
      {0x0816, "", "pt-BR"},         // Portuguese (Portugal): the nearest carried
      {0x0404, "", "zh-Hant"},       // Chinese (Taiwan)
      {0x0C04, "", "zh-Hant"},       // Chinese (Hong Kong) writes traditional characters
      {0x0804, "", "zh-Hant"},       // Chinese (PRC): simplified is not carried, Chinese is
      {0x3801, "", "ar"},            // Arabic (U.A.E.)
      {0x040C, "", "en"},            // French: not carried
      {0x0000, "", "en"},            // nothing known
      {0x0407, "ar", "ar"},          // /LANG= wins
      {0x0407, "AR", "ar"},          // in any letter case
      {0x0407, "pt", "pt-BR"},       // by another spelling
      {0x0407, "en", "en"},          // English is always there
      {0x0407, "fr", "de"},          // not carried: the user's language
      {0x0407, "klingon", "de"},     // unknown: the user's language
      {0x0409, "zh-TW", "zh-Hant"},  // an alias
  };
  // the code of the table chosen, "en" for plain English
  auto select = [](const std::vector<std::string>& codes, std::uint16_t langid,
                   std::string_view requested) {
    std::vector<TextTable> tables;
    for (const std::string& code : codes) tables.push_back(TextTable{code, u"", {}});
    const TextTable* t = SelectLanguage(tables, langid, requested);
    return t ? t->language : std::string("en");
  };
  for (const Case& c : cases) {
    EXPECT_EQ(select(some, c.langid, c.requested), c.want)
        << std::hex << c.langid << " " << c.requested;
  }
  const std::vector<std::string> hans = {"zh-Hans"};
  EXPECT_EQ(select(hans, 0x0404, ""), "zh-Hans");  // Chinese, the script not carried
  EXPECT_EQ(select({}, 0x0407, "de"), "en");
  EXPECT_EQ(select({"en", "de"}, 0x0409, ""), "en");    // the vendor's own English texts
  EXPECT_EQ(select({"en", "de"}, 0x0416, "xx"), "en");  // Portuguese: not carried
}

}  // namespace
}  // namespace kestrel
