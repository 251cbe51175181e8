#include "sysutil/winname.h"

#include <algorithm>
#include <cstdint>

namespace kestrel {
namespace {

char16_t UpperAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

// Lower-case units whose capital lies elsewhere, in Latin Extended-B, IPA and Greek.
struct Pair {
  char16_t lower, upper;
};
constexpr Pair kScattered[] = {
    {0x0180, 0x0243}, {0x0183, 0x0182}, {0x0185, 0x0184}, {0x0188, 0x0187}, {0x018C, 0x018B},
    {0x0192, 0x0191}, {0x0195, 0x01F6}, {0x0199, 0x0198}, {0x019A, 0x023D}, {0x019E, 0x0220},
    {0x01A1, 0x01A0}, {0x01A3, 0x01A2}, {0x01A5, 0x01A4}, {0x01A8, 0x01A7}, {0x01AD, 0x01AC},
    {0x01B0, 0x01AF}, {0x01B4, 0x01B3}, {0x01B6, 0x01B5}, {0x01B9, 0x01B8}, {0x01BD, 0x01BC},
    {0x01BF, 0x01F7}, {0x01C5, 0x01C4}, {0x01C6, 0x01C4}, {0x01C8, 0x01C7}, {0x01C9, 0x01C7},
    {0x01CB, 0x01CA}, {0x01CC, 0x01CA}, {0x01DD, 0x018E}, {0x01F2, 0x01F1}, {0x01F3, 0x01F1},
    {0x01F5, 0x01F4}, {0x023C, 0x023B}, {0x0242, 0x0241}, {0x0253, 0x0181}, {0x0254, 0x0186},
    {0x0256, 0x0189}, {0x0257, 0x018A}, {0x0259, 0x018F}, {0x025B, 0x0190}, {0x0260, 0x0193},
    {0x0263, 0x0194}, {0x0268, 0x0197}, {0x0269, 0x0196}, {0x026F, 0x019C}, {0x0272, 0x019D},
    {0x0275, 0x019F}, {0x0280, 0x01A6}, {0x0283, 0x01A9}, {0x0288, 0x01AE}, {0x0289, 0x0244},
    {0x028A, 0x01B1}, {0x028B, 0x01B2}, {0x028C, 0x0245}, {0x0292, 0x01B7}, {0x0371, 0x0370},
    {0x0373, 0x0372}, {0x0377, 0x0376}, {0x037B, 0x03FD}, {0x037C, 0x03FE}, {0x037D, 0x03FF},
    {0x03AC, 0x0386}, {0x03AD, 0x0388}, {0x03AE, 0x0389}, {0x03AF, 0x038A}, {0x03C2, 0x03A3},
    {0x03CC, 0x038C}, {0x03CD, 0x038E}, {0x03CE, 0x038F}, {0x03D7, 0x03CF}, {0x03F2, 0x03F9},
    {0x03F3, 0x037F}, {0x03F8, 0x03F7}, {0x03FB, 0x03FA}, {0x04CF, 0x04C0},
};

// A run where capitals and small letters alternate: the small one is `odd` (or not) and follows
// its capital directly.
bool InPairRun(char16_t c, char16_t first, char16_t last, bool small_is_odd) {
  return c >= first && c <= last && ((c & 1) != 0) == small_is_odd;
}

}  // namespace

char16_t UpcaseUnit(char16_t c) {
  if (c < 0x80) return UpperAscii(c);
  if (c < 0x100) {
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    if (c == 0xFF) return 0x0178;
    if (c == 0xB5) return 0x039C;
    return c;
  }
  // offset ranges: a whole alphabet a fixed distance above its capitals
  struct Shift {
    char16_t first, last;
    int by;
  };
  static constexpr Shift kShifts[] = {
      {0x03B1, 0x03C1, -32}, {0x03C3, 0x03CB, -32}, {0x0430, 0x044F, -32}, {0x0450, 0x045F, -80},
      {0x0561, 0x0586, -48}, {0x1F00, 0x1F07, 8},   {0x1F10, 0x1F15, 8},   {0x1F20, 0x1F27, 8},
      {0x1F30, 0x1F37, 8},   {0x1F40, 0x1F45, 8},   {0x1F60, 0x1F67, 8},   {0x2170, 0x217F, -16},
      {0x24D0, 0x24E9, -26}, {0x2C30, 0x2C5E, -48}, {0xFF41, 0xFF5A, -32},
  };
  for (const Shift& s : kShifts) {
    if (c >= s.first && c <= s.last) return static_cast<char16_t>(c + s.by);
  }
  if (c == 0x1F51 || c == 0x1F53 || c == 0x1F55 || c == 0x1F57) return static_cast<char16_t>(c + 8);
  // alternating runs: capital, small, capital, small ...
  if (InPairRun(c, 0x0101, 0x012F, true) || InPairRun(c, 0x0133, 0x0137, true) ||
      InPairRun(c, 0x013A, 0x0148, false) || InPairRun(c, 0x014B, 0x0177, true) ||
      InPairRun(c, 0x017A, 0x017E, false) || InPairRun(c, 0x01CE, 0x01DC, false) ||
      InPairRun(c, 0x01DF, 0x01EF, true) || InPairRun(c, 0x01F9, 0x021F, true) ||
      InPairRun(c, 0x0223, 0x0233, true) || InPairRun(c, 0x0247, 0x024F, true) ||
      InPairRun(c, 0x03D9, 0x03EF, true) || InPairRun(c, 0x0461, 0x0481, true) ||
      InPairRun(c, 0x048B, 0x04BF, true) || InPairRun(c, 0x04C2, 0x04CE, false) ||
      InPairRun(c, 0x04D1, 0x052F, true) || InPairRun(c, 0x1E01, 0x1E95, true) ||
      InPairRun(c, 0x1EA1, 0x1EFF, true)) {
    return static_cast<char16_t>(c - 1);
  }
  for (const Pair& p : kScattered) {
    if (p.lower == c) return p.upper;
  }
  return c;
}

std::u16string UpcaseName(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) c = UpcaseUnit(c);
  return out;
}

bool IsReservedDeviceName(std::u16string_view name) {
  // Windows looks at the stem before the first dot, with its trailing blanks and dots dropped
  std::u16string_view stem = name.substr(0, std::min(name.find(u'.'), name.size()));
  while (!stem.empty() && (stem.back() == u' ' || stem.back() == u'.')) stem.remove_suffix(1);
  std::u16string up(stem);
  for (char16_t& c : up) c = UpperAscii(c);
  for (std::u16string_view whole :
       {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$", u"CLOCK$"}) {
    if (up == whole) return true;
  }
  if (up.size() != 4) return false;
  const std::u16string_view head = std::u16string_view(up).substr(0, 3);
  if (head != u"COM" && head != u"LPT") return false;
  const char16_t digit = up[3];
  return (digit >= u'0' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

NameFault CheckNameComponent(std::u16string_view name) {
  if (name.empty()) return NameFault::kEmpty;
  if (name.size() > kMaxNameUnits) return NameFault::kTooLong;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"<>:\"|?*\\/").find(c) != std::u16string_view::npos) {
      return NameFault::kBadCharacter;
    }
  }
  if (name.back() == u'.' || name.back() == u' ') return NameFault::kTrailingDotOrBlank;
  if (IsReservedDeviceName(name)) return NameFault::kDeviceName;
  return NameFault::kNone;
}

const char* NameFaultText(NameFault fault) {
  switch (fault) {
    case NameFault::kNone:
      return "is a valid name";
    case NameFault::kEmpty:
      return "is empty";
    case NameFault::kTooLong:
      return "is longer than 255 UTF-16 units, more than Windows names can hold";
    case NameFault::kBadCharacter:
      return "holds a character Windows names cannot hold (a control character or <>:\"|?*\\/)";
    case NameFault::kTrailingDotOrBlank:
      return "ends with a dot or a blank, which Windows drops";
    case NameFault::kDeviceName:
      return "is a reserved device name on Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...)";
  }
  return "is not a valid name";
}

}  // namespace kestrel
