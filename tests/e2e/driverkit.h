// What every end-to-end driver needs: UTF-8 output one fact a line, and window texts and classes
// read across processes without hanging on a window that does not answer.
#pragma once

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace e2e {

// True when a window of process `windowpid` belongs to the program the driver started, `pid`:
// that process itself, or the temporary copy a product's own uninstaller runs from (its child).
inline bool OfProgram(DWORD windowpid, DWORD pid) {
  if (windowpid == pid) return true;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  bool child = false;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    if (e.th32ProcessID == windowpid) {
      child = e.th32ParentProcessID == pid;
      break;
    }
  }
  CloseHandle(snap);
  return child;
}

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

// The window's text, asked of its thread. The uninstaller works on its main thread and may not
// answer for seconds (a service's stop pause), so a timed-out question is asked again for up to
// 20 s rather than read as an empty text.
inline std::wstring TextOf(HWND h) {
  wchar_t buf[8192] = {};
  DWORD_PTR got = 0;
  for (int tries = 0; tries < 10; ++tries) {
    if (SendMessageTimeoutW(h, WM_GETTEXT, 8192, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 2000,
                            &got)) {
      return std::wstring(buf, got);
    }
    if (!IsWindow(h)) break;
  }
  return {};
}

inline std::wstring ClassOf(HWND h) {
  wchar_t buf[64] = {};
  GetClassNameW(h, buf, 64);
  return buf;
}

// Saves the window's area of the X screen to the Unix path `png` with the import tool (Wine runs
// it). The Unix process cannot be waited on, so the file is watched until it stops growing.
// Returns "ok", "failed" (the tool did not start) or "timeout".
inline const char* ScreenshotWindow(HWND w, const std::wstring& png) {
  RECT r;
  GetWindowRect(w, &r);
  wchar_t cmd[1024];
  swprintf(cmd, 1024, L"Z:\\usr\\bin\\import -window root -crop %ldx%ld+%ld+%ld +repage %ls",
           r.right - r.left, r.bottom - r.top, r.left, r.top, png.c_str());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return "failed";
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::wstring dos = L"Z:" + png;
  for (auto& ch : dos) {
    if (ch == L'/') ch = L'\\';
  }
  LONGLONG last = -1;
  for (int i = 0; i < 100; ++i) {
    Sleep(100);
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!GetFileAttributesExW(dos.c_str(), GetFileExInfoStandard, &a)) continue;
    const LONGLONG size = (LONGLONG(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
    if (size > 0 && size == last) return "ok";
    last = size;
  }
  return "timeout";
}

}  // namespace e2e
