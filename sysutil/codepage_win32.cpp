// The system's ANSI code page through the Windows conversion calls.
#include <windows.h>

#include "sysutil/codepage.h"

namespace kestrel {
namespace {

// Without WC_NO_BEST_FIT_CHARS the conversion maps characters the code page lacks to
// look-alikes: fullwidth "．．＼" becomes "..\", so a name that passed every check reaches the
// file system as another one. The flag is not accepted by the UTF-8 and UTF-7 code pages, and
// not by the oldest systems; the round trip below catches best fits there.
int Convert(const wchar_t* src, int srclen, char* out, int outlen, BOOL* defaulted) {
  const UINT acp = GetACP();
  const bool utf = acp == CP_UTF8 || acp == CP_UTF7;
  if (!utf) {
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, src, srclen, out, outlen,
                                      nullptr, defaulted);
    if (n > 0 || GetLastError() != ERROR_INVALID_FLAGS) return n;
  }
  return WideCharToMultiByte(CP_ACP, 0, src, srclen, out, outlen, nullptr,
                             utf ? nullptr : defaulted);
}

std::u16string Back(std::string_view text) {
  if (text.empty()) return {};
  int srclen = static_cast<int>(text.size());
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), srclen, nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), srclen, reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

}  // namespace

std::string ToCodePage(std::u16string_view text, bool* lossless) {
  if (lossless) *lossless = true;
  if (text.empty()) return {};
  auto src = reinterpret_cast<const wchar_t*>(text.data());
  int srclen = static_cast<int>(text.size());
  int n = Convert(src, srclen, nullptr, 0, nullptr);
  if (n <= 0) {
    if (lossless) *lossless = false;
    return {};
  }
  std::string out(static_cast<std::size_t>(n), '\0');
  BOOL defaulted = FALSE;
  n = Convert(src, srclen, out.data(), n, &defaulted);
  if (n <= 0) {
    if (lossless) *lossless = false;
    return {};
  }
  out.resize(static_cast<std::size_t>(n));
  if (lossless) *lossless = !defaulted && Back(out) == text;
  return out;
}

std::u16string FromCodePage(std::string_view text) {
  return Back(text);
}

}  // namespace kestrel
