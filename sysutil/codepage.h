// Conversions between the system's UTF-16 texts and 8-bit texts.
//
// The package's short texts and every registry value are 8-bit texts in the system's code page.
// On Windows "the system's code page" is the ANSI code page; elsewhere (the packer, host tests)
// it is Windows-1252, the code page packages are built for by default.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// UTF-16 to the system's 8-bit code page; a character it lacks becomes the replacement
// character '?', never a look-alike ("．" does not become "."). `lossless` (if given) tells
// whether the text converts back to exactly what it was.
std::string ToCodePage(std::u16string_view text, bool* lossless = nullptr);
// The text an 8-bit system call receives for `text`, or nothing when that would differ from it
// (a character replaced or mapped to a look-alike, or a zero that would end it early): such a name
// must be refused, because the call would act on another name than the one that was checked.
std::optional<std::string> ToCodePageExact(std::u16string_view text);
// The system's 8-bit code page to UTF-16.
std::u16string FromCodePage(std::string_view text);

// Windows-1252, the same on every host: what the packer writes into packages.
std::string ToCp1252(std::u16string_view text, bool* lossless = nullptr);
std::u16string FromCp1252(std::string_view text);

// UTF-8 <-> UTF-16 for host file names and manifests. Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace kestrel
