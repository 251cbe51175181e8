// Drives setup.exe for the end-to-end tests: starts it, finds its windows and controls, prints
// what it sees (texts, positions, states) as UTF-8 lines for the test script, takes
// screenshots and answers message boxes.
//
//   kestrel_guidriver show  SHOT.png EXE [ARGS...]  wizard shown: dump it, screenshot, close it
//   kestrel_guidriver error SHOT.png EXE [ARGS...]  an Error box expected: dump it, press OK
//   kestrel_guidriver box:KEY SHOT.png EXE [ARGS...] a message box expected: dump it with its
//                                                    buttons, answer with KEY (escape, enter,
//                                                    yes, no, ok)
//
// SHOT.png is a Unix path ("-" for none). The last line is "exit=N", the program's exit code;
// the driver itself exits non-zero when an expected window never appeared.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "wizard/layout.h"

namespace {

constexpr DWORD kWindowTimeoutMs = 20000;

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// One line per fact; line breaks inside texts are written as \r and \n.
void Out(const std::string& line) {
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

std::wstring TextOf(HWND h) {
  wchar_t buf[8192] = {};
  DWORD_PTR got = 0;
  SendMessageTimeoutW(h, WM_GETTEXT, 8192, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000,
                      &got);
  return std::wstring(buf, got);
}

std::wstring ClassOf(HWND h) {
  wchar_t buf[64] = {};
  GetClassNameW(h, buf, 64);
  return buf;
}

struct Find {
  DWORD pid;
  const wchar_t* cls;
  HWND found;
};

BOOL CALLBACK FindTop(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<Find*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == f->pid && IsWindowVisible(h) && ClassOf(h) == f->cls) {
    f->found = h;
    return FALSE;
  }
  return TRUE;
}

// The visible top-level window of the class in the process, or null after the timeout (or
// when the process ended first).
HWND WaitTop(HANDLE process, DWORD pid, const wchar_t* cls) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < kWindowTimeoutMs) {
    Find f{pid, cls, nullptr};
    EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
    if (f.found) return f.found;
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return nullptr;
    Sleep(50);
  }
  return nullptr;
}

BOOL CALLBACK CollectChild(HWND h, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
  return TRUE;
}

std::string Rect(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  HWND parent = GetParent(h);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  char buf[64];
  snprintf(buf, sizeof buf, "%ld,%ld,%ld,%ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
  return buf;
}

void DumpForm(HWND form) {
  Out("caption=" + Utf8(TextOf(form)));
  RECT c;
  GetClientRect(form, &c);
  Out("client=" + std::to_string(c.right) + "x" + std::to_string(c.bottom));
  std::vector<HWND> children;
  EnumChildWindows(form, CollectChild, reinterpret_cast<LPARAM>(&children));
  for (HWND h : children) {
    int id = GetDlgCtrlID(h) - kestrel::kWizCtlIdBase;
    if (id < 0 || id >= int(kestrel::kWizCtlCount)) continue;
    std::string line = "ctl " + std::string(kestrel::kWizCtlNames[size_t(id)]);
    line += " vis=" + std::to_string(IsWindowVisible(h) ? 1 : 0);
    line += " en=" + std::to_string(IsWindowEnabled(h) ? 1 : 0);
    line += " rect=" + Rect(h);
    if (ClassOf(h) == L"Button" && (GetWindowLongW(h, GWL_STYLE) & 0xF) == BS_AUTOCHECKBOX) {
      line += " checked=" + std::to_string(SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED);
    }
    Out(line);
    Out("text " + std::string(kestrel::kWizCtlNames[size_t(id)]) + "=" + Utf8(TextOf(h)));
    if (id == int(kestrel::WizCtl::welcomelabel)) {
      auto font = reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0));
      LOGFONTW lf{};
      if (font && GetObjectW(font, sizeof lf, &lf)) {
        Out("font=" + Utf8(lf.lfFaceName) + " " + std::to_string(lf.lfHeight));
      }
    }
  }
}

// Screenshot of the window's area of the X screen, by the Unix import tool (Wine runs it).
void Shot(HWND w, const std::wstring& png) {
  if (png == L"-") return;
  RECT r;
  GetWindowRect(w, &r);
  wchar_t cmd[1024];
  swprintf(cmd, 1024, L"Z:\\usr\\bin\\import -window root -crop %ldx%ld+%ld+%ld +repage %ls",
           r.right - r.left, r.bottom - r.top, r.left, r.top, png.c_str());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    Out("shot=failed");
    return;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // the handle of a Unix process cannot be waited on: wait for the file to stop growing
  std::wstring dos = L"Z:" + png;
  for (auto& ch : dos) {
    if (ch == L'/') ch = L'\\';
  }
  LONGLONG last = -1;
  for (int i = 0; i < 100; ++i) {
    Sleep(100);
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!GetFileAttributesExW(dos.c_str(), GetFileExInfoStandard, &a)) continue;
    LONGLONG size = (LONGLONG(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
    if (size > 0 && size == last) {
      Out("shot=" + Utf8(png));
      return;
    }
    last = size;
  }
  Out("shot=timeout");
}

void DumpButtons(HWND box) {
  std::vector<HWND> children;
  EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
  for (HWND h : children) {
    if (ClassOf(h) != L"Button") continue;
    const bool def = (GetWindowLongW(h, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON;
    Out("button id=" + std::to_string(GetDlgCtrlID(h)) + " text=" + Utf8(TextOf(h)) +
        " default=" + (def ? "1" : "0"));
  }
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &gi) && gi.hwndFocus) {
    Out("focus id=" + std::to_string(GetDlgCtrlID(gi.hwndFocus)));
  }
}

// Keys go to the focused control, as a user's would; the dialog's own loop interprets them.
void Answer(HWND box, const std::wstring& key) {
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  HWND focus = GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &gi) && gi.hwndFocus
                   ? gi.hwndFocus
                   : box;
  auto press = [focus](WPARAM vk) {
    PostMessageW(focus, WM_KEYDOWN, vk, 1);
    PostMessageW(focus, WM_KEYUP, vk, 0xC0000001);
  };
  if (key == L"escape") {
    press(VK_ESCAPE);
  } else if (key == L"enter") {
    press(VK_RETURN);
  } else {
    const int id = key == L"yes" ? IDYES : key == L"no" ? IDNO : IDOK;
    HWND b = GetDlgItem(box, id);
    if (!b) b = GetDlgItem(box, IDCANCEL);
    PostMessageW(b, BM_CLICK, 0, 0);
  }
}

int Finish(PROCESS_INFORMATION& pi) {
  DWORD code = 259;
  if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) {
    Out("exit=timeout");
    TerminateProcess(pi.hProcess, 99);
    return 3;
  }
  GetExitCodeProcess(pi.hProcess, &code);
  Out("exit=" + std::to_string(code));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    Out("usage: kestrel_guidriver show|error SHOT.png EXE [ARGS...]");
    return 2;
  }
  const std::wstring mode = argv[1], shot = argv[2];
  std::wstring cmd = L"\"" + std::wstring(argv[3]) + L"\"";
  for (int i = 4; i < argc; ++i) cmd += L" \"" + std::wstring(argv[i]) + L"\"";

  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    Out("start=failed " + std::to_string(GetLastError()));
    return 2;
  }
  WaitForInputIdle(pi.hProcess, 10000);
  int rc = 0;
  if (mode == L"show") {
    HWND form = WaitTop(pi.hProcess, pi.dwProcessId, L"KestrelForm");
    if (!form) {
      Out("window=none");
      rc = 3;
    } else {
      Sleep(400);  // let the first paint finish before the screenshot
      DumpForm(form);
      Shot(form, shot);
      PostMessageW(form, WM_CLOSE, 0, 0);
    }
  } else if (mode == L"error" || mode.rfind(L"box:", 0) == 0) {
    const std::wstring key = mode == L"error" ? L"ok" : mode.substr(4);
    HWND box = WaitTop(pi.hProcess, pi.dwProcessId, L"#32770");
    if (!box) {
      Out("box=none");
      rc = 3;
    } else {
      Sleep(300);
      Out("box caption=" + Utf8(TextOf(box)));
      Out("box text=" + Utf8(TextOf(GetDlgItem(box, 0xFFFF))));
      Find f{pi.dwProcessId, L"KestrelForm", nullptr};
      EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
      Out(std::string("wizard visible=") + (f.found ? "1" : "0"));
      DumpButtons(box);
      Shot(box, shot);
      Answer(box, key);
    }
  } else {
    Out("mode=unknown");
    TerminateProcess(pi.hProcess, 99);
    rc = 2;
  }
  int frc = Finish(pi);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return rc ? rc : frc;
}
