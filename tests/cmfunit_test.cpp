#include "sysutil/cmfunit.h"

#include <gtest/gtest.h>

#include "sysutil/codepage.h"

namespace kestrel {
namespace {

TEST(PathHelpers, TrailingBackslashAndFolderPart) {
  EXPECT_EQ(AddTrailingBackslash(std::u16string()), u"");
  EXPECT_EQ(AddTrailingBackslash(std::u16string(u"C:\\A")), u"C:\\A\\");
  EXPECT_EQ(AddTrailingBackslash(std::u16string(u"C:\\A\\")), u"C:\\A\\");
  EXPECT_EQ(StripTrailingBackslash(std::u16string()), u"");
  EXPECT_EQ(StripTrailingBackslash(std::u16string(u"C:\\A\\")), u"C:\\A");
  EXPECT_EQ(StripTrailingBackslash(std::u16string(u"C:\\A\\\\")), u"C:\\A\\");
  EXPECT_EQ(StripTrailingBackslash(std::string("x")), "x");
  EXPECT_EQ(FolderPart(std::u16string(u"C:\\A\\b.exe")), u"C:\\A\\");
  EXPECT_EQ(FolderPart(std::u16string(u"b.exe")), u"");
  EXPECT_EQ(FolderPart(std::string("\\")), "\\");
}

TEST(TrimBlanks, BlanksFirstThenCarriageReturns) {
  EXPECT_EQ(TrimBlanks(std::string("  Tool  ")), "Tool");
  EXPECT_EQ(TrimBlanks(std::string("\r\nTool\r")), "\nTool");
  // A blank that reaches the edge only once a carriage return is gone stays.
  EXPECT_EQ(TrimBlanks(std::string(" \r Tool \r ")), " Tool ");
  EXPECT_EQ(TrimBlanks(std::string("   ")), "");
  EXPECT_EQ(TrimBlanks(std::string("")), "");
  EXPECT_EQ(TrimBlanks(std::string("\r\r")), "");
}

TEST(LetterHex, EncodesEveryUnitAsFourCapitals) {
  EXPECT_EQ(EncodeLetterHex(u"abc"), "AAGBAAGCAAGD");
  EXPECT_EQ(EncodeLetterHex(u""), "");
  EXPECT_EQ(EncodeLetterHex(u"\xFFFF\x0001"), "PPPPAAAB");
  EXPECT_EQ(DecodeLetterHex("AAGBAAGCAAGD"), u"abc");
  EXPECT_EQ(DecodeLetterHex("AAGBA"), u"");
  EXPECT_EQ(DecodeLetterHex(""), u"");
  const std::u16string path = u"C:\\Programme\\Werkzeug \x00E4\x4E2D\xD83D\xDE00\\";
  EXPECT_EQ(DecodeLetterHex(EncodeLetterHex(path)), path);
}

TEST(CleanFileName, DropsForbiddenCharactersAndKeepsAnyScript) {
  EXPECT_EQ(CleanFileName(u"Tool: \"Pro\" <2>|a/b\\c*?"), u"Tool Pro 2abc");
  EXPECT_EQ(CleanFileName(u"Caf\x00E9 \x20AC"), u"Caf\x00E9 \x20AC");
  // beyond the code page: a link file is named as the product is
  EXPECT_EQ(CleanFileName(u"\x4E2D: \x0391"), u"\x4E2D \x0391");
}

TEST(CodePage, Cp1252RoundTripAndLossReport) {
  bool lossless = false;
  std::string s = ToCp1252(u"\x20AC\x0152z\x00FF", &lossless);
  EXPECT_TRUE(lossless);
  EXPECT_EQ(s, "\x80\x8Cz\xFF");
  EXPECT_EQ(FromCp1252(s), u"\x20AC\x0152z\x00FF");
  ToCp1252(u"\x0100", &lossless);
  EXPECT_FALSE(lossless);
  EXPECT_EQ(FromCp1252("\x81"), u"\x0081");
}

TEST(CodePage, Utf8RoundTripAndInvalidInput) {
  const std::u16string text = u"a\x00E9\x4E2D\xD83D\xDE00";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(u"\x00E9"), "\xC3\xA9");
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\xFFFD");                  // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\xFFFD\xFFFD");        // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80").front(), u'\xFFFD');  // encoded surrogate
}

TEST(TitlePattern, ProductWindowPattern) {
  EXPECT_TRUE(MatchTitlePattern("setup (*", "Setup (1)"));
  EXPECT_TRUE(MatchTitlePattern("setup (*", "SETUP (running)"));
  EXPECT_FALSE(MatchTitlePattern("setup (*", "Setup"));
  EXPECT_FALSE(MatchTitlePattern("setup (*", "My Setup (1)"));
  EXPECT_TRUE(MatchTitlePattern("setup (*", "setup ("));
}

TEST(TitlePattern, ProductWindowHeadIsLiteral) {
  EXPECT_TRUE(MatchTitleHead("setup (*", "SETUP (running)"));
  EXPECT_FALSE(MatchTitleHead("setup (*", "My Setup (1)"));
  EXPECT_FALSE(MatchTitleHead("setup (*", "Setup"));
  // a star or a blank in the product's own name stands for itself
  EXPECT_TRUE(MatchTitleHead("a* tool (*", "A* Tool (running)"));
  EXPECT_FALSE(MatchTitleHead("a* tool (*", "Another tool (1)"));
  EXPECT_FALSE(MatchTitleHead("*", "anything"));
  EXPECT_FALSE(MatchTitleHead("", "anything"));
}

TEST(TitlePattern, StarsAndPlainText) {
  EXPECT_TRUE(MatchTitlePattern("*tool*", "My Tool window"));
  EXPECT_TRUE(MatchTitlePattern("*tool*", "tool"));
  EXPECT_FALSE(MatchTitlePattern("*tool*", "too"));
  EXPECT_TRUE(MatchTitlePattern("abc", "ABC"));
  EXPECT_FALSE(MatchTitlePattern("abc", "abcd"));
  EXPECT_FALSE(MatchTitlePattern("*", ""));
  EXPECT_FALSE(MatchTitlePattern("", "x"));
  EXPECT_TRUE(MatchTitlePattern("*", "anything"));
  EXPECT_TRUE(MatchTitlePattern("a*b*c", "aXbYc"));
  EXPECT_FALSE(MatchTitlePattern("a*b*c", "aXcYb"));
}

TEST(TitlePattern, SegmentsMayNotOverlap) {
  // Each segment is consumed where it was found, so one occurrence cannot serve twice.
  EXPECT_FALSE(MatchTitlePattern("*ab*ab", "xab"));
  EXPECT_TRUE(MatchTitlePattern("*ab*ab", "xabab"));
  EXPECT_FALSE(MatchTitlePattern("ab*b", "ab"));
  EXPECT_FALSE(MatchTitlePattern("*abc*c", "xxabc"));
  EXPECT_TRUE(MatchTitlePattern("*b*b*", "abcbd"));
  EXPECT_FALSE(MatchTitlePattern("*b*b*", "abcd"));
}

TEST(DeviceNames, WholeNamesAndLastComponents) {
  for (const char* yes : {"COM1", "com4", "LPT1", "lpt9", "AUX", "aux", "C:\\x\\LPT3",
                          "C:\\x\\com2", "D:\\aux", "\\COM1"}) {
    EXPECT_TRUE(IsDeviceName(yes)) << yes;
  }
  for (const char* no : {"", "CO", "COM5", "COM0", "LPT0", "CON", "PRN", "NUL", "C:\\x\\COM5",
                         "C:\\x\\com1.txt", "C:\\xCOM1", "AUXX", "C:\\auxx"}) {
    EXPECT_FALSE(IsDeviceName(no)) << no;
  }
}

}  // namespace
}  // namespace kestrel
