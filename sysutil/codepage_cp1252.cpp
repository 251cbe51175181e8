// Code-page conversion fixed to Windows-1252, plus UTF-8 helpers; no OS headers.
#include <cstdint>

#include "sysutil/codepage.h"

namespace kestrel {
namespace {

// 0x80..0x9F of Windows-1252; 0 marks the five unassigned bytes.
constexpr char16_t kHigh1252[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string ToCp1252(std::u16string_view text, bool* lossless) {
  std::string out;
  out.reserve(text.size());
  bool all = true;
  for (char16_t c : text) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char mapped = 0;
    for (int i = 0; i < 32; ++i) {
      if (kHigh1252[i] != 0 && kHigh1252[i] == c) mapped = static_cast<char>(0x80 + i);
    }
    if (mapped == 0) {
      all = false;
      mapped = '?';
    }
    out.push_back(mapped);
  }
  if (lossless) *lossless = all;
  return out;
}

std::u16string FromCp1252(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto b = static_cast<std::uint8_t>(ch);
    if (b >= 0x80 && b < 0xA0) {
      // unassigned bytes map to the same-valued control character, as Windows does
      out.push_back(kHigh1252[b - 0x80] != 0 ? kHigh1252[b - 0x80] : static_cast<char16_t>(b));
    } else {
      out.push_back(static_cast<char16_t>(b));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<std::uint8_t>(text[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    std::uint32_t min = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07, min = 0x10000;
    } else {
      len = 0;
    }
    if (len > 1) {
      bool ok = i + len <= text.size();
      for (std::size_t k = 1; ok && k < len; ++k) {
        auto c = static_cast<std::uint8_t>(text[i + k]);
        if ((c & 0xC0) != 0x80) ok = false;
        cp = (cp << 6) | (c & 0x3F);
      }
      if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        len = 1;
      }
    } else if (len == 0) {
      len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;  // a lone surrogate
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::optional<std::string> ToCodePageExact(std::u16string_view text) {
  // a call given a C string stops at the first zero
  if (text.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  bool lossless = false;
  std::string out = ToCodePage(text, &lossless);
  if (!lossless) return std::nullopt;
  return out;
}

#ifndef _WIN32
// Off Windows the system's code page is Windows-1252.
std::string ToCodePage(std::u16string_view text, bool* lossless) {
  return ToCp1252(text, lossless);
}
std::u16string FromCodePage(std::string_view text) {
  return FromCp1252(text);
}
#endif

}  // namespace kestrel
