#include "sysutil/winname.h"

#include <gtest/gtest.h>

#include <string>

#include "sysutil/codepage.h"

namespace kestrel {
namespace {

TEST(WinName, DeviceNamesInEverySpellingWindowsAccepts) {
  for (const char16_t* yes :
       {u"CON",           u"con",       u"Con.txt",    u"PRN",       u"aux",      u"AUX.h",
        u"NUL",           u"nul.txt",   u"nul.tar.gz", u"NUL .txt",  u"nul..txt", u"COM0",
        u"COM1",          u"com9.log",  u"LPT1",       u"lpt9",      u"Lpt5.x",   u"COM\u00B9",
        u"com\u00B2.txt", u"LPT\u00B3", u"CONIN$",     u"conout$.x", u"CLOCK$"}) {
    EXPECT_TRUE(IsReservedDeviceName(yes)) << Utf16ToUtf8(yes);
    EXPECT_EQ(CheckNameComponent(yes), NameFault::kDeviceName) << Utf16ToUtf8(yes);
  }
  for (const char16_t* no : {u"", u"CO", u"COM", u"COM10", u"LPT", u"LPTX", u"COMA", u"console",
                             u"nully.txt", u"xnul", u".nul", u"auxiliary", u"COM\u00B4",
                             u"COM\u2074", u"\uFF23\uFF2F\uFF2E", u"con_", u"CONIN"}) {
    EXPECT_FALSE(IsReservedDeviceName(no)) << Utf16ToUtf8(no);
  }
}

TEST(WinName, ComponentFaults) {
  const struct {
    std::u16string name;
    NameFault fault;
  } cases[] = {
      {u"plain.txt", NameFault::kNone},
      {u"\u00C4rger \u0416.txt", NameFault::kNone},
      {u"", NameFault::kEmpty},
      {std::u16string(255, u'a'), NameFault::kNone},
      {std::u16string(256, u'a'), NameFault::kTooLong},
      {u"a\\b", NameFault::kBadCharacter},
      {u"a/b", NameFault::kBadCharacter},
      {u"a:b", NameFault::kBadCharacter},
      {u"a\tb", NameFault::kBadCharacter},
      {std::u16string(1, u'\0'), NameFault::kBadCharacter},
      {u"a\x1b", NameFault::kBadCharacter},
      {u"q?", NameFault::kBadCharacter},
      {u"..", NameFault::kTrailingDotOrBlank},
      {u".", NameFault::kTrailingDotOrBlank},
      {u"name.", NameFault::kTrailingDotOrBlank},
      {u"name ", NameFault::kTrailingDotOrBlank},
      {u".hidden", NameFault::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckNameComponent(c.name), c.fault) << Utf16ToUtf8(c.name);
  }
}

TEST(WinName, UpperCaseMappingPairsTheScriptsFileNamesUse) {
  const struct {
    char16_t lower, upper;
  } pairs[] = {
      {u'a', u'A'},     {u'z', u'Z'},     {0x00E4, 0x00C4}, {0x00FE, 0x00DE}, {0x00FF, 0x0178},
      {0x0101, 0x0100}, {0x0107, 0x0106}, {0x013A, 0x0139}, {0x0142, 0x0141}, {0x0151, 0x0150},
      {0x017E, 0x017D}, {0x01CE, 0x01CD}, {0x01C6, 0x01C4}, {0x0219, 0x0218}, {0x0253, 0x0181},
      {0x03B1, 0x0391}, {0x03C9, 0x03A9}, {0x03C2, 0x03A3}, {0x03AC, 0x0386}, {0x03CE, 0x038F},
      {0x0430, 0x0410}, {0x044F, 0x042F}, {0x0451, 0x0401}, {0x045F, 0x040F}, {0x0491, 0x0490},
      {0x04C2, 0x04C1}, {0x04E9, 0x04E8}, {0x0561, 0x0531}, {0x1E03, 0x1E02}, {0x1EF9, 0x1EF8},
      {0x1F00, 0x1F08}, {0x2170, 0x2160}, {0x24D0, 0x24B6}, {0xFF41, 0xFF21}, {0xFF5A, 0xFF3A},
  };
  for (const auto& p : pairs) {
    EXPECT_EQ(UpcaseUnit(p.lower), p.upper) << std::hex << static_cast<int>(p.lower);
    EXPECT_EQ(UpcaseUnit(p.upper), p.upper) << std::hex << static_cast<int>(p.upper);
  }
  // no pair: the unit itself
  for (char16_t same :
       {u'1', u'.', char16_t{0x00DF}, char16_t{0x00F7}, char16_t{0x00D7}, char16_t{0x0138},
        char16_t{0x0149}, char16_t{0x4E2D}, char16_t{0xD800}, char16_t{0xDC00}, char16_t{0xFF10}}) {
    EXPECT_EQ(UpcaseUnit(same), same) << std::hex << static_cast<int>(same);
  }
  // the mapping is a projection: mapping twice changes nothing, over every unit
  for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
    const char16_t once = UpcaseUnit(static_cast<char16_t>(u));
    ASSERT_EQ(UpcaseUnit(once), once) << std::hex << u;
  }
  EXPECT_EQ(UpcaseName(u"\u00C4rger.txt"), UpcaseName(u"\u00E4rger.TXT"));
  EXPECT_NE(UpcaseName(u"a.txt"), UpcaseName(u"b.txt"));
}

}  // namespace
}  // namespace kestrel
