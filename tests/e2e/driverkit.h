// What every end-to-end driver needs: UTF-8 output one fact a line, and window texts and classes
// read across processes without hanging on a window that does not answer.
#pragma once

#include <windows.h>

#include <string>

namespace e2e {

inline std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// One line per fact; line breaks inside texts are written as \r and \n.
inline void Out(const std::string& line) {
  std::string s;
  for (char c : line) {
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else {
      s += c;
    }
  }
  s += '\n';
  DWORD put;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), DWORD(s.size()), &put, nullptr);
}

inline std::wstring TextOf(HWND h) {
  wchar_t buf[8192] = {};
  DWORD_PTR got = 0;
  SendMessageTimeoutW(h, WM_GETTEXT, 8192, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 3000,
                      &got);
  return std::wstring(buf, got);
}

inline std::wstring ClassOf(HWND h) {
  wchar_t buf[64] = {};
  GetClassNameW(h, buf, 64);
  return buf;
}

}  // namespace e2e
