// Shared text and path helpers that need no operating system.
//
// Helpers are plain functions that return a boolean or a text and never report errors; the
// caller decides what a result means.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Empty text stays empty; otherwise a "\" is appended unless the text already ends with one.
template <class Str>
Str AddTrailingBackslash(Str text) {
  if (!text.empty() && text.back() != '\\') text.push_back('\\');
  return text;
}

// Empty text stays empty; one final "\" is removed, so "C:\A\\" keeps one.
template <class Str>
Str StripTrailingBackslash(Str text) {
  if (!text.empty() && text.back() == '\\') text.pop_back();
  return text;
}

// The path up to and including its last "\"; empty when it has none.
template <class Str>
Str FolderPart(const Str& path) {
  auto k = path.rfind('\\');
  return k == Str::npos ? Str() : path.substr(0, k + 1);
}

// Leading, then trailing blanks; then leading, then trailing carriage returns. A blank that only
// reaches the edge once a carriage return is gone stays.
template <class Str>
Str TrimBlanks(const Str& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  while (b < e && text[b] == '\r') ++b;
  while (e > b && text[e - 1] == '\r') --e;
  return text.substr(b, e - b);
}

// Every UTF-16 unit as four capital letters, 'A' plus each nibble, most significant first.
std::string EncodeLetterHex(std::u16string_view text);
// The inverse; empty text when the length is not a multiple of 4. Letters are not range-checked.
std::u16string DecodeLetterHex(std::string_view letters);

// Drops \ / : * ? " < > | and keeps the rest as it is, in any script.
std::u16string CleanFileName(std::u16string_view text);

// The window-title match: "*" stands for any run of characters (none included), letter case
// (a-z) is ignored, nothing else is special. An empty pattern without "*" matches only an empty
// title; otherwise an empty pattern or title never matches.
bool MatchTitlePattern(std::string_view pattern, std::string_view title);
// The product-window match: a title beginning, letter case ignored, with `pattern` up to its
// final "*", taken literally. A product named "A*" then closes only its own windows, not every
// window whose title begins with "A".
bool MatchTitleHead(std::string_view pattern, std::string_view title);

// True for the device names that must not be probed as files: COM1-4, LPT1-9 and AUX, alone or
// as a path's last component (8-bit text, a-z upper-cased).
bool IsDeviceName(std::string_view path);

// True for the App Paths keys under HKEY_LOCAL_MACHINE (any case, with or without a trailing
// backslash): the shell looks a program up there by its name. A 32-bit program on 64-bit Windows
// writes, reads and deletes them in the 64-bit registry view, where the 64-bit shell (the Run box,
// Explorer) reads them; every other key stays in the program's own view.
bool InNativeRegistryView(std::string_view machinekey);

}  // namespace kestrel
