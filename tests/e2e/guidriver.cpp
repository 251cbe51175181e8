// Drives setup.exe for the end-to-end tests: starts it, finds its windows and controls, prints
// what it sees (texts, positions, states) as UTF-8 lines for the test script, takes
// screenshots and answers message boxes.
//
//   kestrel_guidriver show  SHOT.png EXE [ARGS...]  wizard shown: dump it, screenshot, close it
//   kestrel_guidriver error SHOT.png EXE [ARGS...]  an Error box expected: dump it, press OK
//   kestrel_guidriver box:KEY SHOT.png EXE [ARGS...] a message box expected: dump it with its
//                                                    buttons, answer with KEY (escape, enter,
//                                                    yes, no, ok)
//   kestrel_guidriver fit DLL EXE [ARGS...]         the width check: hooks the wizard's thread
//                                                    with DLL (kestrel_textfit.dll) and has it
//                                                    measure the wizard, the folder dialog
//                                                    (Change...) and the warning box (Cancel),
//                                                    then answers Yes
//   kestrel_guidriver install SHOT EXE [ARGS...]    clicks through an installation, printing
//                                                    every page with its buttons' states and
//                                                    taking SHOT-PAGE.png of each. Options come
//                                                    from the environment:
//     KDRV_NAV=1        first walks Back and Next through every page (agree toggled)
//     KDRV_DEST=PATH    typed into the destination box
//     KDRV_CANCEL=no|yes|stopped  Cancel on the progress page answered so; "stopped" waits
//                       for the stopped page first
//     KDRV_CANCEL_AT=N  waits until the bar shows at least N before cancelling
//     KDRV_LAUNCH=0|1, KDRV_README=0|1  the finish page's check boxes
//     KDRV_FINISH=close  the finish page is left by the window's close request, not Finish
//     KDRV_PASSWORD_FILE=PATH  the password page: the password (UTF-8 in the file) is typed;
//     KDRV_WRONG_PASSWORD=TEXT  typed and refused first; Back and Next are walked around the page
//     KDRV_WAIT_FILE=PATH  on the destination page, waits until PATH exists before Next
//     KDRV_DEST_REFUSED=1  Next on the destination page is answered with an Error box: it is
//                       dumped and shot, the page must stay, and the wizard is closed
//     KDRV_QUIET=1      on the progress page only looks, every 50 ms, whether the finish page
//                       is up ("finish seen" is printed at once): no progress or text queries
//                       that would cost the wizard's thread time while it is being timed
//
// SHOT.png is a Unix path ("-" for none). The last line is "exit=N", the program's exit code;
// the driver itself exits non-zero when an expected window never appeared.
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/driverkit.h"
#include "wizard/layout.h"

namespace {

using e2e::ClassOf;
using e2e::Out;
using e2e::TextOf;
using e2e::Utf8;

constexpr DWORD kWindowTimeoutMs = 20000;

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

std::string CtlLine(HWND h, int id) {
  std::string line = "ctl " + std::string(kestrel::kWizCtlNames[size_t(id)]);
  line += " vis=" + std::to_string(IsWindowVisible(h) ? 1 : 0);
  line += " en=" + std::to_string(IsWindowEnabled(h) ? 1 : 0);
  line += " rect=" + Rect(h);
  return line;
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
    std::string line = CtlLine(h, id);
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
  const std::string result = e2e::ScreenshotWindow(w, png);
  Out(result == "ok" ? "shot=" + Utf8(png) : "shot=" + result);
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

// A visible top-level window of the class in the process other than `not`.
HWND WaitOther(HANDLE process, DWORD pid, const wchar_t* cls, HWND not_this) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < kWindowTimeoutMs) {
    std::vector<HWND> tops;
    EnumWindows(CollectChild, reinterpret_cast<LPARAM>(&tops));
    for (HWND h : tops) {
      DWORD p = 0;
      GetWindowThreadProcessId(h, &p);
      if (p == pid && h != not_this && IsWindowVisible(h) && ClassOf(h) == cls) return h;
    }
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return nullptr;
    Sleep(50);
  }
  return nullptr;
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

// ---- the install walk ---------------------------------------------------------------------

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

HWND Ctl(HWND form, kestrel::WizCtl c) {
  FindId f{kestrel::WizCtlId(c), nullptr};
  EnumChildWindows(form, FindById, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

// The width check's walk: the hook DLL measures each window as it is shown.
int Fit(PROCESS_INFORMATION& pi, const std::wstring& dll) {
  HWND form = WaitTop(pi.hProcess, pi.dwProcessId, L"KestrelForm");
  if (!form) {
    Out("window=none");
    return 3;
  }
  HMODULE m = LoadLibraryW(dll.c_str());
  auto* proc =
      m ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(m, "KestrelFitHook")))
        : nullptr;
  HHOOK hook =
      proc ? SetWindowsHookExW(WH_CALLWNDPROC, proc, m, GetWindowThreadProcessId(form, nullptr))
           : nullptr;
  if (!hook) {
    Out("hook=failed " + std::to_string(GetLastError()));
    return 3;
  }
  const UINT fit = RegisterWindowMessageW(L"KestrelTextFit");
  auto measure = [fit](HWND w) {
    DWORD_PTR r = 0;
    SendMessageTimeoutW(w, fit, 0, 0, SMTO_NORMAL, 20000, &r);
  };
  measure(form);
  auto ctl = [form](kestrel::WizCtl c) { return Ctl(form, c); };
  int rc = 0;
  SendMessageW(ctl(kestrel::WizCtl::next), BM_CLICK, 0, 0);
  PostMessageW(ctl(kestrel::WizCtl::change), BM_CLICK, 0, 0);
  if (HWND dir = WaitOther(pi.hProcess, pi.dwProcessId, L"KestrelForm", form)) {
    measure(dir);
    PostMessageW(GetDlgItem(dir, kestrel::DirCtlId(kestrel::DirCtl::cancel)), BM_CLICK, 0, 0);
    Sleep(300);
  } else {
    Out("folder=none");
    rc = 3;
  }
  PostMessageW(ctl(kestrel::WizCtl::cancel), BM_CLICK, 0, 0);
  if (HWND box = WaitTop(pi.hProcess, pi.dwProcessId, L"#32770")) {
    measure(box);
    Answer(box, L"yes");
  } else {
    Out("box=none");
    rc = 3;
  }
  UnhookWindowsHookEx(hook);
  return rc;
}

std::string Name(kestrel::WizCtl c) {
  return std::string(kestrel::kWizCtlNames[size_t(c)]);
}

std::string State(HWND h) {
  if (!h || !IsWindowVisible(h)) return "hid";
  return IsWindowEnabled(h) ? "en" : "dis";
}

std::string Env(const char* name) {
  char buf[1024] = {};
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::wstring EnvW(const wchar_t* name) {
  wchar_t buf[1024] = {};
  DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n && n < 1024 ? std::wstring(buf, n) : std::wstring();
}

class Walk {
 public:
  Walk(PROCESS_INFORMATION& pi, HWND form, std::wstring shot)
      : pi_(pi), form_(form), shot_(std::move(shot)) {}

  std::string Page() {
    using C = kestrel::WizCtl;
    for (C c : {C::welcomepage, C::licensepage, C::passwordpage, C::scopepage, C::destinationpage,
                C::inusepage, C::installingpage, C::finishpage, C::uninstallfinishpage}) {
      HWND h = Ctl(form_, c);
      if (h && IsWindowVisible(h)) return Name(c);
    }
    return "none";
  }
  // One line: the current page and the four buttons' states.
  void Report() {
    using C = kestrel::WizCtl;
    Out("page " + Page() + " back=" + State(Ctl(form_, C::back)) +
        " next=" + State(Ctl(form_, C::next)) + " finish=" + State(Ctl(form_, C::finish)) +
        " cancel=" + State(Ctl(form_, C::cancel)));
  }
  void Shoot(const std::string& page) {
    if (Env("KDRV_TEXTS") == "1") DumpTexts(page);
    if (shot_ == L"-") return;
    std::wstring file = shot_ + L"-" + std::wstring(page.begin(), page.end()) + L".png";
    Shot(form_, file);
  }
  // Every text the page shows, the window's caption and whether the form is mirrored.
  void DumpTexts(const std::string& page) {
    Out(page + " caption=" + Utf8(TextOf(form_)));
    Out(page +
        " mirrored=" + std::to_string((GetWindowLongW(form_, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) != 0));
    HWND sheet = nullptr;
    for (int i = 0; i < int(kestrel::kWizCtlCount); ++i) {
      if (Name(kestrel::WizCtl(i)) == Page()) sheet = Ctl(form_, kestrel::WizCtl(i));
    }
    std::vector<HWND> children;
    EnumChildWindows(form_, CollectChild, reinterpret_cast<LPARAM>(&children));
    for (HWND h : children) {
      const int id = GetDlgCtrlID(h) - kestrel::kWizCtlIdBase;
      if (id < 0 || id >= int(kestrel::kWizCtlCount) || !IsWindowVisible(h)) continue;
      const std::wstring text = TextOf(h);
      if (text.empty() || (GetParent(h) != sheet && ClassOf(h) != L"Button")) continue;
      Out(page + " text " + Name(kestrel::WizCtl(id)) + "=" + Utf8(text));
    }
  }
  // A click as a user can make it: never on a hidden or disabled control. Synchronous, for
  // handlers that open nothing modal.
  bool Click(kestrel::WizCtl c) {
    HWND h = Ctl(form_, c);
    if (!h || !IsWindowVisible(h) || !IsWindowEnabled(h)) {
      Out("refused " + Name(c));
      return false;
    }
    DWORD_PTR r = 0;
    SendMessageTimeoutW(h, BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &r);
    Out("click " + Name(c));
    return true;
  }
  // For handlers that open a box or close the wizard.
  bool Post(kestrel::WizCtl c) {
    HWND h = Ctl(form_, c);
    if (!h || !IsWindowVisible(h) || !IsWindowEnabled(h)) {
      Out("refused " + Name(c));
      return false;
    }
    PostMessageW(h, BM_CLICK, 0, 0);
    Out("click " + Name(c));
    return true;
  }
  bool Checked(kestrel::WizCtl c) {
    return SendMessageW(Ctl(form_, c), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  int Progress() {
    return int(SendMessageW(Ctl(form_, kestrel::WizCtl::installprogress), PBM_GETPOS, 0, 0));
  }
  HWND Box(DWORD timeout) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout) {
      Find f{pi_.dwProcessId, L"#32770", nullptr};
      EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
      if (f.found) return f.found;
      if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0) return nullptr;
      Sleep(20);
    }
    return nullptr;
  }
  void DumpBox(HWND box, const std::string& name) {
    Sleep(200);
    Out("box caption=" + Utf8(TextOf(box)));
    Out("box text=" + Utf8(TextOf(GetDlgItem(box, 0xFFFF))));
    if (shot_ != L"-") Shot(box, shot_ + L"-" + std::wstring(name.begin(), name.end()) + L".png");
  }

  // Back and Next through every page, each button's state reported after each step.
  void Navigate(bool licence) {
    using C = kestrel::WizCtl;
    Report();
    Click(C::next);
    Report();
    if (licence) {
      Click(C::agree);
      Out(std::string("agree=") + (Checked(C::agree) ? "1" : "0"));
      Report();
      Click(C::agree);
      Out(std::string("agree=") + (Checked(C::agree) ? "1" : "0"));
      Report();
      Click(C::next);  // refused: Next is disabled
      Click(C::back);
      Report();
      Click(C::next);
      Report();
      Click(C::agree);
      Click(C::next);
      Report();
      Click(C::back);
      Report();
      Click(C::next);
      Report();
    } else {
      Click(C::back);
      Report();
      Click(C::next);
      Report();
    }
  }

  int Run() {
    using C = kestrel::WizCtl;
    const bool nav = Env("KDRV_NAV") == "1";
    const std::wstring dest = EnvW(L"KDRV_DEST");
    const std::string cancel = Env("KDRV_CANCEL");
    const int cancel_at = atoi(Env("KDRV_CANCEL_AT").c_str());
    Sleep(300);
    Report();
    Shoot("welcome");
    if (nav) {
      Navigate(Env("KDRV_LICENCE") == "1");
    } else {
      Click(C::next);
      if (Page() == "licensepage") {
        Report();
        Shoot("licence");
        Click(C::agree);
        Report();
        Click(C::next);
      }
    }
    if (Page() == "passwordpage" && !PasswordPage()) return 3;
    if (Page() == "scopepage" && !ScopePage()) return 3;
    if (Page() != "destinationpage") {
      Out("error=not on the destination page");
      return 3;
    }
    Report();
    if (!dest.empty()) {
      SendMessageW(Ctl(form_, C::installpath), WM_SETTEXT, 0, LPARAM(dest.c_str()));
    }
    Out("installpath=" + Utf8(TextOf(Ctl(form_, C::installpath))));
    Shoot("destination");
    const std::wstring wait = EnvW(L"KDRV_WAIT_FILE");
    if (!wait.empty()) {
      Out("waiting for " + Utf8(wait));
      for (int i = 0; i < 600 && GetFileAttributesW(wait.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    }
    Post(C::next);
    if (Env("KDRV_DEST_REFUSED") == "1") return RefusedDestination();

    // the progress page, until the finish page, an error box or a stop
    bool shot_installing = false, cancelled = false, reported_stop = false;
    int boxes = 0;
    const DWORD start = GetTickCount();
    int last = -1;
    const bool quiet = Env("KDRV_QUIET") == "1";
    while (quiet && GetTickCount() - start < 600000) {
      HWND finish = Ctl(form_, C::finishpage);
      if (finish && IsWindowVisible(finish)) {
        Out("finish seen");
        break;
      }
      if (WaitForSingleObject(pi_.hProcess, 50) == WAIT_OBJECT_0) break;
    }
    while (GetTickCount() - start < (quiet ? 600000u : 60000u)) {
      if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0) break;
      Find f{pi_.dwProcessId, L"#32770", nullptr};
      EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
      if (f.found) {
        // error boxes: the first is shot as "error", later ones as "error2", ...
        ++boxes;
        DumpBox(f.found, boxes == 1 ? "error" : "error" + std::to_string(boxes));
        Answer(f.found, L"ok");
        for (int i = 0; i < 300 && IsWindow(f.found); ++i) Sleep(10);
        continue;
      }
      const std::string page = Page();
      if (page == "inusepage") {
        InUsePage();
        continue;
      }
      if (page == "installingpage") {
        const int p = Progress();
        if (p != last) {
          Out("progress " + std::to_string(p));
          last = p;
        }
        const std::wstring title = TextOf(Ctl(form_, C::installingtitle));
        const bool stopped = title == L"Installation Stopped";
        if (stopped && !reported_stop) {
          reported_stop = true;
          Report();
          Out("stopped title=" + Utf8(title));
          Out("stopped text=" + Utf8(TextOf(Ctl(form_, C::installinglabel))));
          Shoot("stopped");
        }
        // the cancel comes first: a screenshot would let the installation run on meanwhile
        const bool may_cancel = cancel == "stopped" ? stopped : p >= cancel_at;
        if (!cancel.empty() && !cancelled && may_cancel) {
          cancelled = true;
          CancelQuestion(cancel == "no" ? L"no" : L"yes");
          if (cancel != "no") return 0;
        }
        if (!shot_installing && p > 0 && p < 90) {
          shot_installing = true;
          Report();
          Shoot("installing");
        }
      } else if (page == "finishpage") {
        // the bar's last step may come and go between two looks: it keeps its position
        const int p = Progress();
        if (p != last && last >= 0) Out("progress " + std::to_string(p));
        Sleep(100);
        Report();
        Out("text finishlabel=" + Utf8(TextOf(Ctl(form_, C::finishlabel))));
        Shoot("finish");
        SetCheck(C::launch, Env("KDRV_LAUNCH") == "1");
        SetCheck(C::readme, Env("KDRV_README") == "1");
        if (Env("KDRV_FINISH") == "close") {
          PostMessageW(form_, WM_CLOSE, 0, 0);
          Out("close");
        } else {
          Post(C::finish);
        }
        return 0;
      }
      Sleep(10);
    }
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0) return 0;
    Out("error=no end of the installation");
    return 3;
  }

  // The Error box that refuses the destination; the page stays, its text selected for typing
  // again; the wizard is then closed.
  int RefusedDestination() {
    using C = kestrel::WizCtl;
    HWND box = Box(20000);
    if (!box) {
      Out("error=no box for the refused destination");
      return 3;
    }
    DumpBox(box, "destination-refused");
    Answer(box, L"ok");
    for (int i = 0; i < 300 && IsWindow(box); ++i) Sleep(10);
    Sleep(200);
    Out("page after box=" + Page());
    Report();
    const DWORD sel = DWORD(SendMessageW(Ctl(form_, C::installpath), EM_GETSEL, 0, 0));
    Out("selection=" + std::to_string(LOWORD(sel)) + "," + std::to_string(HIWORD(sel)) +
        " length=" + std::to_string(TextLength(C::installpath)));
    Out(std::string("installpath focus=") + (Focused(C::installpath) ? "1" : "0"));
    Shoot("destination-after");
    PostMessageW(form_, WM_CLOSE, 0, 0);
    return 0;
  }

  // Typed as a user types: one character message each, to the box itself, replacing what is
  // selected. Returns once the box holds as many characters as were typed (posted messages
  // are handled after sent ones, so a sent message cannot tell).
  void Type(kestrel::WizCtl c, const std::wstring& text) {
    HWND h = Ctl(form_, c);
    for (wchar_t ch : text) PostMessageW(h, WM_CHAR, ch, 1);
    for (int i = 0; i < 300 && TextLength(c) != int(text.size()); ++i) Sleep(10);
  }
  int TextLength(kestrel::WizCtl c) {
    return int(SendMessageW(Ctl(form_, c), WM_GETTEXTLENGTH, 0, 0));
  }
  bool Focused(kestrel::WizCtl c) {
    GUITHREADINFO gi{};
    gi.cbSize = sizeof gi;
    return GetGUIThreadInfo(pi_.dwThreadId, &gi) && gi.hwndFocus == Ctl(form_, c);
  }
  // Waits until the page is shown or a box opens; the milliseconds it took, or -1.
  int WaitPage(const std::string& page, DWORD timeout) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout) {
      if (Page() == page) return int(GetTickCount() - start);
      Find f{pi_.dwProcessId, L"#32770", nullptr};
      EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
      if (f.found) return -1;
      Sleep(10);
    }
    return -1;
  }
  void DumpControls(std::initializer_list<kestrel::WizCtl> controls) {
    for (kestrel::WizCtl c : controls) Out(CtlLine(Ctl(form_, c), int(c)));
  }

  // The applications holding files: the page's texts, its shot, Back, and the choice
  // (KDRV_APPS=keep: "Do not close", else the default) with Next.
  void InUsePage() {
    using C = kestrel::WizCtl;
    Report();
    for (C c : {C::inusetitle, C::inuselabel, C::inuselist, C::closeapps, C::keepapps, C::inusenote,
                C::clicknext5})
      Out("text " + std::string(kestrel::kWizCtlNames[size_t(c)]) + "=" +
          Utf8(TextOf(Ctl(form_, c))));
    Out(std::string("checked closeapps=") +
        (SendMessageW(Ctl(form_, C::closeapps), BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0"));
    Shoot("inuse");
    if (Env("KDRV_APPS") == "keep") Click(C::keepapps);
    Click(C::next);
    Out("after inuse=" + Page());
  }

  // The choice between every user and one (KDRV_SCOPE=me or all): its texts and boxes, Back and
  // Next around it, the choice, and on to the destination page.
  bool ScopePage() {
    using C = kestrel::WizCtl;
    Report();
    for (C c : {C::scopetitle, C::scopelabel, C::allusers, C::justme, C::scopenote, C::clicknext4})
      Out("text " + std::string(kestrel::kWizCtlNames[size_t(c)]) + "=" +
          Utf8(TextOf(Ctl(form_, c))));
    DumpControls({C::scopepage, C::scopetitle, C::scopelabel, C::allusers, C::justme, C::scopenote,
                  C::clicknext4, C::Image6});
    auto checked = [&](C c) {
      return SendMessageW(Ctl(form_, c), BM_GETCHECK, 0, 0) == BST_CHECKED;
    };
    Out(std::string("checked allusers=") + (checked(C::allusers) ? "1" : "0") +
        " justme=" + (checked(C::justme) ? "1" : "0"));
    Shoot("scope");
    Click(C::back);
    Out("back to=" + Page());
    Click(C::next);
    Out("next to=" + Page());
    if (Page() != "scopepage") return false;
    const bool me = Env("KDRV_SCOPE") != "all";
    Click(me ? C::justme : C::allusers);
    Out(std::string("checked allusers=") + (checked(C::allusers) ? "1" : "0") +
        " justme=" + (checked(C::justme) ? "1" : "0"));
    Shoot(me ? "scope-me" : "scope-all");
    Click(C::next);
    Out("after scope=" + Page());
    if (Page() == "destinationpage") {
      Click(C::back);
      Out("destination back to=" + Page());
      Click(C::next);
    }
    return true;
  }

  // The password page: empty, a wrong password and its Error box, the right one, Back and Next
  // around the page, and on to the destination page.
  bool PasswordPage() {
    using C = kestrel::WizCtl;
    const std::wstring file = EnvW(L"KDRV_PASSWORD_FILE");
    const std::wstring wrong = EnvW(L"KDRV_WRONG_PASSWORD");
    std::wstring right;
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      char buf[1024];
      DWORD got = 0;
      ReadFile(f, buf, sizeof buf, &got, nullptr);
      CloseHandle(f);
      while (got && (buf[got - 1] == '\n' || buf[got - 1] == '\r')) --got;
      right.resize(size_t(got));
      right.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, buf, int(got), right.data(), int(got))));
    }
    Report();
    Out(std::string("password focus=") + (Focused(C::password) ? "1" : "0"));
    Out("text passwordtitle=" + Utf8(TextOf(Ctl(form_, C::passwordtitle))));
    Out("text passwordlabel=" + Utf8(TextOf(Ctl(form_, C::passwordlabel))));
    Out("text passwordprompt=" + Utf8(TextOf(Ctl(form_, C::passwordprompt))));
    Out("text clicknext3=" + Utf8(TextOf(Ctl(form_, C::clicknext3))));
    DumpControls({C::passwordpage, C::passwordtitle, C::passwordlabel, C::passwordprompt,
                  C::password, C::clicknext3, C::Image5});
    Shoot("password");
    if (!wrong.empty()) {
      Type(C::password, wrong);
      Out("typed length=" + std::to_string(TextLength(C::password)));
      Report();
      Shoot("password-typed");
      Post(C::next);
      HWND box = Box(20000);
      if (!box) {
        Out("error=no box for the wrong password");
        return false;
      }
      DumpBox(box, "password-wrong");
      Answer(box, L"ok");
      for (int i = 0; i < 300 && IsWindow(box); ++i) Sleep(10);
      Sleep(200);
      Report();
      const DWORD sel = DWORD(SendMessageW(Ctl(form_, C::password), EM_GETSEL, 0, 0));
      Out("selection=" + std::to_string(LOWORD(sel)) + "," + std::to_string(HIWORD(sel)) +
          " length=" + std::to_string(TextLength(C::password)));
      Out(std::string("password focus=") + (Focused(C::password) ? "1" : "0"));
      Shoot("password-selected");
    }
    Type(C::password, right);  // replaces the selected text
    Out("typed length=" + std::to_string(TextLength(C::password)));
    // Back leaves the page and Next comes back to it, the text kept
    Click(C::back);
    Report();
    Click(C::next);
    Report();
    Post(C::next);
    const int ms = WaitPage("destinationpage", 30000);
    Out("password accepted=" + std::string(ms >= 0 ? "1" : "0"));
    Out("password check ms=" + std::to_string(ms));
    if (ms < 0) return false;
    Report();
    Click(C::back);
    Report();
    Post(C::next);
    if (WaitPage("destinationpage", 30000) < 0) return false;
    return true;
  }

  void SetCheck(kestrel::WizCtl c, bool on) {
    if (Checked(c) != on) Click(c);
    Out(Name(c) + "=" + (Checked(c) ? "1" : "0"));
  }

  // Cancel on the progress page: the question, the bar held while it is open, the answer.
  void CancelQuestion(const std::wstring& answer) {
    using C = kestrel::WizCtl;
    Post(C::cancel);
    HWND box = Box(10000);
    if (!box) {
      Out("box=none");
      return;
    }
    const int before = Progress();
    DumpBox(box, answer == L"no" ? "cancel-question" : "cancel-yes");
    Sleep(1500);
    const int after = Progress();
    Out("held " + std::string(before == after ? "yes" : "no") + " " + std::to_string(before) + " " +
        std::to_string(after));
    Answer(box, answer);
    if (answer == L"yes") {
      const DWORD t = GetTickCount();
      // the wizard must close at once
      while (GetTickCount() - t < 3000 && IsWindow(form_) && IsWindowVisible(form_)) Sleep(10);
      Out(std::string("wizard closed=") + (IsWindowVisible(form_) ? "0" : "1"));
    } else {
      Sleep(300);
      Out("after no " + Page() + " cancel=" + State(Ctl(form_, C::cancel)));
    }
  }

 private:
  PROCESS_INFORMATION& pi_;
  HWND form_;
  std::wstring shot_;
};

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
  } else if (mode == L"fit") {
    rc = Fit(pi, shot);
  } else if (mode == L"install") {
    HWND form = WaitTop(pi.hProcess, pi.dwProcessId, L"KestrelForm");
    if (!form) {
      Out("window=none");
      rc = 3;
    } else {
      Walk walk(pi, form, shot);
      rc = walk.Run();
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
