// Clicks through an uninstall for the end-to-end tests: starts the uninstaller, prints every
// page with its buttons' states and texts, answers the boxes, takes SHOT-PAGE.png of each.
//   kestrel_uninstdriver SHOT EXE [ARGS...]
// Options from the environment:
//   KDRV_SETTINGS=yes|no   the answer to the settings question
//   KDRV_CANCEL=no|yes     after the run stopped on the progress page: Cancel, answered so
//                          (with "no", a second Cancel answered yes follows)
//   KDRV_PRODUCT=TITLE     a window of that title stands for the running product; the driver
//                          reports whether it was asked to close ("product closed=1")
//   KDRV_STUBBORN=1        that window never answers its close request
//   KDRV_HOLD=PATH         a file kept open without sharing while the uninstaller runs
// SHOT is a Unix path prefix ("-" for none). The last line is "exit=N", the program's exit code;
// the driver exits non-zero when an expected window never appeared.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/driverkit.h"
#include "wizard/layout.h"

namespace {

using e2e::ClassOf;
using e2e::Out;
using e2e::TextOf;
using e2e::Utf8;

using C = kestrel::WizCtl;

std::string Env(const char* name) {
  char buf[256] = {};
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf, n) : std::string();
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
  if (IsWindowVisible(h) && ClassOf(h) == f->cls && e2e::OfProgram(pid, f->pid)) {
    f->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND Top(DWORD pid, const wchar_t* cls) {
  Find f{pid, cls, nullptr};
  EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

struct FindId {
  int id;
  HWND found;
};

BOOL CALLBACK FindById(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<FindId*>(lp);
  if (GetDlgCtrlID(h) == f->id) {
    f->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND Ctl(HWND form, C c) {
  FindId f{kestrel::WizCtlId(c), nullptr};
  EnumChildWindows(form, FindById, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

std::string Name(C c) {
  return std::string(kestrel::kWizCtlNames[size_t(c)]);
}

std::string State(HWND h) {
  if (!h || !IsWindowVisible(h)) return "hid";
  return IsWindowEnabled(h) ? "en" : "dis";
}

// Screenshot of the window's area of the X screen, by the Unix import tool (Wine runs it).
void Shot(HWND w, const std::string& name, const std::wstring& prefix) {
  if (prefix == L"-") return;
  const std::wstring png = prefix + L"-" + std::wstring(name.begin(), name.end()) + L".png";
  const std::string result = e2e::ScreenshotWindow(w, png);
  if (result == "ok") {
    Out("shot=" + name);
  } else if (result == "failed") {
    Out("shot=failed");
  } else {
    Out("shot=timeout " + name);
  }
}

// The running product's stand-in, on its own thread with its own message loop.
struct Product {
  std::wstring title;
  bool stubborn = false;
  volatile LONG closed = 0;
  HWND window = nullptr;
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};
Product g_product;
DWORD g_t0 = 0;  // when the uninstaller was started
// "NAME at=MS": how far into the run a step came, for a run that takes too long
void At(const char* name) {
  Out(std::string(name) + " at=" + std::to_string(GetTickCount() - g_t0));
}

LRESULT CALLBACK ProductProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) {
    InterlockedExchange(&g_product.closed, 1);
    if (g_product.stubborn) Sleep(30000);  // hangs in its handler
    return 0;                              // stays open, so the driver can count the requests
  }
  return DefWindowProcW(h, msg, wp, lp);
}

DWORD WINAPI ProductThread(void*) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ProductProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KestrelUninstProduct";
  RegisterClassW(&wc);
  g_product.window =
      CreateWindowExW(0, wc.lpszClassName, g_product.title.c_str(), WS_OVERLAPPEDWINDOW, 20, 20,
                      300, 100, nullptr, nullptr, wc.hInstance, nullptr);
  ShowWindow(g_product.window, SW_SHOWNOACTIVATE);
  SetEvent(g_product.ready);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}

class Walk {
 public:
  Walk(PROCESS_INFORMATION& pi, HWND form, std::wstring shot)
      : pi_(pi), form_(form), shot_(std::move(shot)) {}

  std::string Page() {
    for (C c : {C::welcomepage, C::licensepage, C::destinationpage, C::installingpage,
                C::finishpage, C::uninstallfinishpage}) {
      HWND h = Ctl(form_, c);
      if (h && IsWindowVisible(h)) return Name(c);
    }
    return "none";
  }
  void Report() {
    Out("page " + Page() + " back=" + State(Ctl(form_, C::back)) +
        " next=" + State(Ctl(form_, C::next)) + " finish=" + State(Ctl(form_, C::finish)) +
        " cancel=" + State(Ctl(form_, C::cancel)));
  }
  void Text(C c) { Out("text " + Name(c) + "=" + Utf8(TextOf(Ctl(form_, c)))); }
  bool Post(C c) {
    HWND h = Ctl(form_, c);
    if (!h || !IsWindowVisible(h) || !IsWindowEnabled(h)) {
      Out("refused " + Name(c));
      return false;
    }
    PostMessageW(h, BM_CLICK, 0, 0);
    Out("click " + Name(c));
    return true;
  }
  bool Ended() { return WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0; }
  HWND Box(DWORD timeout) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout) {
      if (HWND b = Top(pi_.dwProcessId, L"#32770")) return b;
      if (Ended()) return nullptr;
      Sleep(20);
    }
    return nullptr;
  }
  // Dumps the box, shoots it, answers it with the button of that ID, waits until it is gone.
  void Answer(HWND box, const std::string& shotname, int id) {
    Sleep(200);
    Out("box caption=" + Utf8(TextOf(box)));
    Out("box text=" + Utf8(TextOf(GetDlgItem(box, 0xFFFF))));
    Out("box owner=" + std::string(GetWindow(box, GW_OWNER) == form_ ? "wizard" : "other"));
    Shot(box, shotname, shot_);
    HWND b = GetDlgItem(box, id);
    if (!b) b = GetDlgItem(box, IDOK);
    Out("answer " + Utf8(TextOf(b)));
    PostMessageW(b, BM_CLICK, 0, 0);
    for (int i = 0; i < 300 && IsWindow(box); ++i) Sleep(10);
  }

  int Run() {
    const std::string settings = Env("KDRV_SETTINGS");
    const std::string cancel = Env("KDRV_CANCEL");
    Sleep(300);
    Report();
    Out("caption=" + Utf8(TextOf(form_)));
    Out(std::string("mirrored=") +
        ((GetWindowLongW(form_, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) ? "1" : "0"));
    for (C c : {C::welcometitle, C::welcomelabel, C::clicknext1}) Text(c);
    Shot(form_, "welcome", shot_);
    At("next");
    Post(C::next);

    bool shot_progress = false;
    int errors = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
      if (Ended()) {
        Out("ended early");
        return 0;
      }
      if (HWND box = Top(pi_.dwProcessId, L"#32770")) {
        const std::wstring caption = TextOf(box);
        if (caption == L"Confirm") {
          Answer(box, "settings", settings == "yes" ? IDYES : IDNO);
        } else {
          ++errors;
          Answer(box, errors == 1 ? "error" : "error" + std::to_string(errors), IDOK);
        }
        continue;
      }
      const std::string page = Page();
      if (page == "installingpage") {
        if (!shot_progress) {
          shot_progress = true;
          Report();
          Text(C::installingtitle);
          Text(C::installinglabel);
          Shot(form_, "progress", shot_);
        }
        // a stopped run waits on this page with Cancel enabled
        if (!cancel.empty() && IsWindowEnabled(Ctl(form_, C::cancel)) && errors > 0) {
          return Stopped(cancel);
        }
      } else if (page == "uninstallfinishpage") {
        At("finishpage");
        // the page shows a moment before its buttons are set (seconds under load): wait until
        // Finish shows, enabled, and Next is gone, not a fixed time
        HWND finish = Ctl(form_, C::finish), next = Ctl(form_, C::next);
        auto settled = [&] {
          return finish && IsWindowVisible(finish) && IsWindowEnabled(finish) &&
                 !(next && IsWindowVisible(next));
        };
        for (int i = 0; i < 500 && !settled(); ++i) Sleep(20);
        Report();
        for (C c : {C::uninstallfinishtitle, C::uninstallfinishlabel, C::clickfinish2}) Text(c);
        Shot(form_, "finish", shot_);
        Post(C::finish);
        return 0;
      }
      Sleep(20);
    }
    Report();
    Out("error=no end of the uninstall");
    return 3;
  }

  int Stopped(const std::string& answer) {
    Sleep(200);
    Report();
    Out("stopped title=" + Utf8(TextOf(Ctl(form_, C::installingtitle))));
    Out("stopped text=" + Utf8(TextOf(Ctl(form_, C::installinglabel))));
    Shot(form_, "stopped", shot_);
    Post(C::cancel);
    HWND box = Box(10000);
    if (!box) {
      Out("box=none");
      return 3;
    }
    Answer(box, "cancel-question", answer == "no" ? IDNO : IDYES);
    if (answer == "no") {
      Sleep(300);
      Out("after no " + Page() + " cancel=" + State(Ctl(form_, C::cancel)));
      Post(C::cancel);
      box = Box(10000);
      if (!box) return 3;
      Answer(box, "cancel-question2", IDYES);
    }
    const DWORD t = GetTickCount();
    while (GetTickCount() - t < 5000 && !Ended()) Sleep(20);
    Out(std::string("wizard closed=") + (Ended() ? "1" : "0"));
    return 0;
  }

 private:
  PROCESS_INFORMATION& pi_;
  HWND form_;
  std::wstring shot_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    Out("usage: kestrel_uninstdriver SHOT EXE [ARGS...]");
    return 2;
  }
  wchar_t title[256] = {};
  if (GetEnvironmentVariableW(L"KDRV_PRODUCT", title, 256)) {
    g_product.title = title;
    g_product.stubborn = Env("KDRV_STUBBORN") == "1";
    HANDLE t = CreateThread(nullptr, 0, ProductThread, nullptr, 0, nullptr);
    WaitForSingleObject(g_product.ready, 5000);
    if (t) CloseHandle(t);
  }
  HANDLE held = INVALID_HANDLE_VALUE;
  wchar_t hold[1024] = {};
  if (GetEnvironmentVariableW(L"KDRV_HOLD", hold, 1024)) {
    held = CreateFileW(hold, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Out(std::string("held=") + (held != INVALID_HANDLE_VALUE ? "1" : "0"));
  }
  const DWORD t0 = g_t0 = GetTickCount();
  std::wstring cmd = L"\"" + std::wstring(argv[2]) + L"\"";
  // an argument with a blank is quoted again, as the Uninstall entry writes it
  for (int i = 3; i < argc; ++i) {
    const std::wstring a = argv[i];
    cmd += a.find(L' ') == std::wstring::npos ? L" " + a : L" \"" + a + L"\"";
  }
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
  HWND form = nullptr;
  for (int i = 0; i < 400 && !form; ++i) {
    form = Top(pi.dwProcessId, L"KestrelForm");
    if (!form) {
      if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
      Sleep(50);
    }
  }
  if (!form) {
    Out("window=none");
    rc = 3;
  } else {
    At("window");
    Walk walk(pi, form, argv[1]);
    rc = walk.Run();
  }
  DWORD code = 259;
  if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) {
    Out("exit=timeout");
    TerminateProcess(pi.hProcess, 99);
    rc = rc ? rc : 3;
  } else {
    GetExitCodeProcess(pi.hProcess, &code);
    Out("exit=" + std::to_string(code));
  }
  Out("seconds=" + std::to_string((GetTickCount() - t0) / 1000));
  if (!g_product.title.empty()) Out("product closed=" + std::to_string(g_product.closed));
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // the product's thread may still hang in its handler: end without waiting for it
  ExitProcess(UINT(rc));
}
