// File names as Windows treats them, decided without Windows: what a name component may hold,
// which names open a device instead of a file, and how names compare without letter case.
//
// Shared by the packer (which refuses such names), `verify` and the file step (which refuse them
// before anything is created), so all three judge a name alike.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// The longest name component Windows file systems create, in UTF-16 units.
inline constexpr std::size_t kMaxNameUnits = 255;

enum class NameFault {
  kNone,
  kEmpty,               // nothing at all
  kTooLong,             // more than kMaxNameUnits units
  kBadCharacter,        // a control character or one of < > : " | ? * \ /
  kTrailingDotOrBlank,  // Windows drops them, so the name is not the one stored ("." and ".." too)
  kDeviceName,          // CON, NUL, COM1, ... with or without an extension
};

// Why a single name component (no separators) cannot be created as given; kNone when it can.
NameFault CheckNameComponent(std::u16string_view name);
// A short English phrase for the fault, fit to follow a quoted name: "is a reserved device name".
const char* NameFaultText(NameFault fault);

// True for a component that Windows opens as a device whatever folder it lies in: CON, PRN, AUX,
// NUL, COM0-9, LPT0-9 (also with the superscript digits 1, 2, 3), CONIN$, CONOUT$ and CLOCK$, in
// any letter case, alone or before an extension ("nul.txt", "Com1.tar.gz"), trailing dots and
// blanks of the stem ignored ("NUL .txt").
bool IsReservedDeviceName(std::u16string_view name);

// Windows' upper-case mapping of one UTF-16 unit, the one its file systems use to compare names:
// simple one-to-one pairs for Latin-1, Latin Extended-A/B and Additional, Greek, Cyrillic,
// Armenian, Roman numerals, circled letters and the fullwidth forms. Units without a pair (and
// surrogates) map to themselves.
char16_t UpcaseUnit(char16_t unit);
// Every unit through UpcaseUnit: two names are the same file on Windows when these are equal.
std::u16string UpcaseName(std::u16string_view name);

}  // namespace kestrel
