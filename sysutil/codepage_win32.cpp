// The system's ANSI code page through the Windows conversion calls.
#include <windows.h>

#include "sysutil/codepage.h"

namespace kestrel {

std::string ToCodePage(std::u16string_view text, bool* lossless) {
  if (lossless) *lossless = true;
  if (text.empty()) return {};
  auto src = reinterpret_cast<const wchar_t*>(text.data());
  int srclen = static_cast<int>(text.size());
  int n = WideCharToMultiByte(CP_ACP, 0, src, srclen, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  BOOL defaulted = FALSE;
  WideCharToMultiByte(CP_ACP, 0, src, srclen, out.data(), n, nullptr, &defaulted);
  if (lossless) *lossless = !defaulted;
  return out;
}

std::u16string FromCodePage(std::string_view text) {
  if (text.empty()) return {};
  int srclen = static_cast<int>(text.size());
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), srclen, nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), srclen, reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

}  // namespace kestrel
