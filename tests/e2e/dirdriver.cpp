// Drives the folder dialog of setup.exe for the end-to-end tests: Next to the destination page,
// Change..., then picks folders in the dialog's tree the way a user would (selection, arrow
// keys, Enter, the buttons, the close box) and prints what it sees as UTF-8 lines.
//
//   kestrel_dirdriver SHOTPREFIX EXE [ARGS...]
//
// Screenshots go to SHOTPREFIX-dialog.png and SHOTPREFIX-invalid.png (Unix paths). The tree's item
// texts are read through a buffer in setup.exe's memory, since TVM_GETITEM carries a pointer.
#include <windows.h>
// the common controls need the Windows types first
#include <commctrl.h>

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

constexpr DWORD kWindowTimeoutMs = 20000;
constexpr wchar_t kDialogCaption[] = L"Select Folder";

int g_failures = 0;

// A step that must work for the rest to make sense; the script checks the printed facts.
bool Need(bool ok, const char* what) {
  if (!ok) {
    Out(std::string("missing=") + what);
    ++g_failures;
  }
  return ok;
}

struct Find {
  DWORD pid;
  const wchar_t* cls;
  const wchar_t* caption;  // null: any
  bool caption_differs;    // true: any caption but this one
  HWND found;
};

BOOL CALLBACK FindTop(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<Find*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != f->pid || !IsWindowVisible(h) || ClassOf(h) != f->cls) return TRUE;
  if (f->caption && (TextOf(h) == f->caption) == f->caption_differs) return TRUE;
  f->found = h;
  return FALSE;
}

HWND FindVisible(DWORD pid, const wchar_t* cls, const wchar_t* caption, bool differs) {
  Find f{pid, cls, caption, differs, nullptr};
  EnumWindows(FindTop, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

HWND WaitTop(HANDLE process, DWORD pid, const wchar_t* cls, const wchar_t* caption,
             bool differs = false) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < kWindowTimeoutMs) {
    if (HWND h = FindVisible(pid, cls, caption, differs)) return h;
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return nullptr;
    Sleep(50);
  }
  return nullptr;
}

bool WaitHidden(HWND h) {
  for (int i = 0; i < 200; ++i) {
    if (!IsWindowVisible(h)) return true;
    Sleep(25);
  }
  return false;
}

struct FindChildId {
  int id;
  HWND found;
};

BOOL CALLBACK FindById(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<FindChildId*>(lp);
  if (GetDlgCtrlID(h) == f->id) {
    f->found = h;
    return FALSE;
  }
  return TRUE;
}

// Controls sit on panels and sheets: searched through every level.
HWND Ctl(HWND top, int id) {
  FindChildId f{id, nullptr};
  EnumChildWindows(top, FindById, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

std::string Rect(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  MapWindowPoints(nullptr, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
  char buf[64];
  snprintf(buf, sizeof buf, "%ld,%ld,%ld,%ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
  return buf;
}

// Buttons only a user could press: visible and enabled (Wine clicks disabled ones too).
bool Click(HWND b) {
  return b && IsWindowVisible(b) && IsWindowEnabled(b) && PostMessageW(b, BM_CLICK, 0, 0);
}

void Key(HWND h, WPARAM vk) {
  PostMessageW(h, WM_KEYDOWN, vk, 1);
  PostMessageW(h, WM_KEYUP, vk, 0xC0000001);
}

void Shot(HWND w, const std::wstring& png) {
  const std::string result = e2e::ScreenshotWindow(w, png);
  Out(result == "ok" ? "shot=" + Utf8(png) : "shot=" + result);
}

// The tree of another process: handles travel as they are, item texts through its memory.
class RemoteTree {
 public:
  RemoteTree(HANDLE process, HWND tree) : process_(process), tree_(tree) {
    mem_ = static_cast<BYTE*>(
        VirtualAllocEx(process, nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  ~RemoteTree() {
    if (mem_) VirtualFreeEx(process_, mem_, 0, MEM_RELEASE);
  }
  RemoteTree(const RemoteTree&) = delete;
  RemoteTree& operator=(const RemoteTree&) = delete;

  HTREEITEM Get(HTREEITEM item, UINT how) const {
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(tree_, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item)));
  }
  HTREEITEM Selected() const { return Get(nullptr, TVGN_CARET); }
  HTREEITEM Root() const { return Get(nullptr, TVGN_ROOT); }
  bool Expanded(HTREEITEM item) const {
    return SendMessageW(tree_, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDED) &
           TVIS_EXPANDED;
  }
  void Select(HTREEITEM item) const {
    SendMessageW(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
  }

  std::wstring Text(HTREEITEM item) const {
    if (!mem_ || !item) return {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<wchar_t*>(mem_ + sizeof(TVITEMW));
    tv.cchTextMax = kChars;
    if (!WriteProcessMemory(process_, mem_, &tv, sizeof tv, nullptr)) return L"<unwritable>";
    if (!SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(mem_))) return L"<none>";
    wchar_t buf[kChars + 1] = {};
    if (!ReadProcessMemory(process_, mem_ + sizeof(TVITEMW), buf, kChars * sizeof(wchar_t),
                           nullptr)) {
      return L"<unreadable>";
    }
    return buf;
  }

  // Texts from the root down to the item, joined by "/".
  std::string Chain(HTREEITEM item) const {
    std::vector<std::wstring> parts;
    for (; item; item = Get(item, TVGN_PARENT)) parts.insert(parts.begin(), Text(item));
    std::wstring s;
    for (auto& p : parts) s += (s.empty() ? L"" : L"/") + p;
    return Utf8(s);
  }

  HTREEITEM ChildNamed(HTREEITEM parent, const wchar_t* name) const {
    for (HTREEITEM c = Get(parent, TVGN_CHILD); c; c = Get(c, TVGN_NEXT)) {
      if (lstrcmpiW(Text(c).c_str(), name) == 0) return c;
    }
    return nullptr;
  }

  int ChildCount(HTREEITEM parent) const {
    int n = 0;
    for (HTREEITEM c = Get(parent, TVGN_CHILD); c; c = Get(c, TVGN_NEXT)) ++n;
    return n;
  }

  // Every open branch, as chains, in tree order.
  void ExpandedChains(HTREEITEM item, std::vector<std::string>& out) const {
    for (; item; item = Get(item, TVGN_NEXT)) {
      if (Expanded(item)) {
        out.push_back(Chain(item));
        ExpandedChains(Get(item, TVGN_CHILD), out);
      }
    }
  }

 private:
  static constexpr int kChars = 260;
  static constexpr SIZE_T kSize = sizeof(TVITEMW) + (kChars + 1) * sizeof(wchar_t);
  HANDLE process_;
  HWND tree_;
  BYTE* mem_ = nullptr;
};

class Session {
 public:
  Session(PROCESS_INFORMATION& pi, HWND wizard, std::wstring shots)
      : pi_(pi), wizard_(wizard), shots_(std::move(shots)) {}

  HWND installpath() const { return Ctl(wizard_, kestrel::WizCtlId(kestrel::WizCtl::installpath)); }
  void PrintInstallpath(const char* label) const {
    Out(std::string(label) + " installpath=" + Utf8(TextOf(installpath())));
  }

  // Change... on the destination page; the dialog once it shows.
  HWND Open(const char* label) {
    HWND change = Ctl(wizard_, kestrel::WizCtlId(kestrel::WizCtl::change));
    if (!Need(Click(change), "change button")) return nullptr;
    HWND dlg = WaitTop(pi_.hProcess, pi_.dwProcessId, L"KestrelForm", kDialogCaption);
    if (!Need(dlg != nullptr, "dialog")) return nullptr;
    tree_ = Ctl(dlg, kestrel::DirCtlId(kestrel::DirCtl::directory));
    Sleep(300);
    RemoteTree t(pi_.hProcess, tree_);
    Out(std::string(label) + " selected=" + t.Chain(t.Selected()));
    std::vector<std::string> open;
    t.ExpandedChains(t.Root(), open);
    std::string list;
    for (auto& o : open) list += (list.empty() ? "" : " | ") + o;
    Out(std::string(label) + " expanded=" + list);
    Out(std::string(label) + " wizard enabled=" + (IsWindowEnabled(wizard_) ? "1" : "0"));
    GUITHREADINFO gi{};
    gi.cbSize = sizeof gi;
    const bool on_tree =
        GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &gi) && gi.hwndFocus == tree_;
    Out(std::string(label) + " focus on tree=" + (on_tree ? "1" : "0"));
    return dlg;
  }

  void DumpDialog(HWND dlg) {
    Out("dialog caption=" + Utf8(TextOf(dlg)));
    RECT c;
    GetClientRect(dlg, &c);
    Out("dialog client=" + std::to_string(c.right) + "x" + std::to_string(c.bottom));
    const LONG style = GetWindowLongW(dlg, GWL_STYLE);
    Out(std::string("dialog closebox=") + ((style & WS_SYSMENU) ? "1" : "0") +
        " sizable=" + ((style & WS_THICKFRAME) ? "1" : "0") +
        " minbox=" + ((style & WS_MINIMIZEBOX) ? "1" : "0"));
    Out(std::string("dialog owner=") + (GetWindow(dlg, GW_OWNER) == wizard_ ? "wizard" : "other"));
    RECT d, w;
    GetWindowRect(dlg, &d);
    GetWindowRect(wizard_, &w);
    const long dx = (d.left + d.right) / 2 - (w.left + w.right) / 2;
    const long dy = (d.top + d.bottom) / 2 - (w.top + w.bottom) / 2;
    Out(std::string("dialog centred=") + (dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1 ? "1" : "0"));
    for (std::size_t i = 0; i < kestrel::kDirCtlCount; ++i) {
      HWND h = Ctl(dlg, kestrel::DirCtlId(kestrel::DirCtl(i)));
      if (!h) {
        Out("ctl " + std::string(kestrel::kDirCtlNames[i]) + " missing");
        continue;
      }
      std::string line = "ctl " + std::string(kestrel::kDirCtlNames[i]) +
                         " class=" + Utf8(ClassOf(h)) + " rect=" + Rect(h) +
                         " text=" + Utf8(TextOf(h));
      if (ClassOf(h) == L"Button") {
        line += std::string(" default=") +
                ((GetWindowLongW(h, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON ? "1" : "0");
      }
      Out(line);
    }
    const LONG ts = GetWindowLongW(tree_, GWL_STYLE);
    Out(std::string("tree buttons=") + ((ts & TVS_HASBUTTONS) ? "1" : "0") +
        " lines=" + ((ts & TVS_HASLINES) ? "1" : "0") +
        " images=" + (SendMessageW(tree_, TVM_GETIMAGELIST, TVSIL_NORMAL, 0) ? "1" : "0"));
  }

  HWND ok(HWND dlg) const { return Ctl(dlg, kestrel::DirCtlId(kestrel::DirCtl::ok)); }
  HWND cancel(HWND dlg) const { return Ctl(dlg, kestrel::DirCtlId(kestrel::DirCtl::cancel)); }
  HWND tree() const { return tree_; }
  void Shoot(HWND w, const wchar_t* name) { Shot(w, shots_ + L"-" + name + L".png"); }

 private:
  PROCESS_INFORMATION& pi_;
  HWND wizard_;
  std::wstring shots_;
  HWND tree_ = nullptr;
};

int Run(PROCESS_INFORMATION& pi, const std::wstring& shots) {
  HWND wizard = WaitTop(pi.hProcess, pi.dwProcessId, L"KestrelForm", kDialogCaption, true);
  if (!Need(wizard != nullptr, "wizard")) return 3;
  Sleep(300);
  // welcome -> destination (a package without a licence)
  if (!Need(Click(Ctl(wizard, kestrel::WizCtlId(kestrel::WizCtl::next))), "next button")) return 3;
  HWND destination = Ctl(wizard, kestrel::WizCtlId(kestrel::WizCtl::destinationpage));
  for (int i = 0; i < 100 && !IsWindowVisible(destination); ++i) Sleep(50);
  if (!Need(IsWindowVisible(destination), "destination page")) return 3;
  Session s(pi, wizard, shots);
  s.PrintInstallpath("start");

  // 1. the first opening: at Program Files
  HWND dlg = s.Open("open1");
  if (!dlg) return 3;
  s.DumpDialog(dlg);
  s.Shoot(dlg, L"dialog");
  RemoteTree t(pi.hProcess, s.tree());
  const HTREEITEM programfiles = t.Selected();
  const HTREEITEM drive = t.Get(programfiles, TVGN_PARENT);
  const HTREEITEM computer = t.Get(drive, TVGN_PARENT);
  if (!Need(computer && drive, "drive and computer items")) return 3;

  // 2. a virtual folder: the error box, owned by the dialog, and the dialog stays
  t.Select(computer);
  Out("virtual selected=" + t.Chain(t.Selected()));
  Click(s.ok(dlg));
  HWND box = WaitTop(pi.hProcess, pi.dwProcessId, L"#32770", nullptr);
  if (Need(box != nullptr, "error box")) {
    Sleep(300);
    Out("box caption=" + Utf8(TextOf(box)));
    Out("box text=" + Utf8(TextOf(GetDlgItem(box, 0xFFFF))));
    Out(std::string("box owner=") + (GetWindow(box, GW_OWNER) == dlg ? "dialog" : "other"));
    s.Shoot(box, L"invalid");
    Click(GetDlgItem(box, IDOK));
    WaitHidden(box);
    Sleep(200);
  }
  Out(std::string("after box dialog visible=") + (IsWindowVisible(dlg) ? "1" : "0"));

  // 3. Escape answers nothing
  SetForegroundWindow(dlg);
  Key(s.tree(), VK_ESCAPE);
  Sleep(400);
  Out(std::string("after escape dialog visible=") + (IsWindowVisible(dlg) ? "1" : "0"));

  // 4. open a branch with the keyboard, then pick C:\windows with OK
  const HTREEITEM users = t.ChildNamed(drive, L"users");
  if (Need(users != nullptr, "users folder")) {
    t.Select(users);
    Key(s.tree(), VK_RIGHT);  // opens the branch, listing it on demand
    for (int i = 0; i < 40 && !t.Expanded(users); ++i) Sleep(50);
    Out(std::string("users expanded=") + (t.Expanded(users) ? "1" : "0") +
        " children=" + (t.ChildCount(users) > 0 ? "some" : "none"));
  }
  const HTREEITEM windows = t.ChildNamed(drive, L"windows");
  if (!Need(windows != nullptr, "windows folder")) return 3;
  t.Select(windows);
  Out("pick selected=" + t.Chain(t.Selected()));
  Click(s.ok(dlg));
  Out(std::string("after ok dialog hidden=") + (WaitHidden(dlg) ? "1" : "0"));
  Out(std::string("after ok wizard enabled=") + (IsWindowEnabled(wizard) ? "1" : "0"));
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  Sleep(200);
  const bool on_change = GetGUIThreadInfo(GetWindowThreadProcessId(wizard, nullptr), &gi) &&
                         gi.hwndFocus == Ctl(wizard, kestrel::WizCtlId(kestrel::WizCtl::change));
  Out(std::string("after ok focus on change=") + (on_change ? "1" : "0"));
  Out(std::string("after ok wizard active=") + (gi.hwndActive == wizard ? "1" : "0"));
  s.PrintInstallpath("ok");

  // 5. a typed path does not move the tree; Cancel after browsing changes nothing
  SendMessageW(s.installpath(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"D:\\typed\\path"));
  if (!s.Open("open2")) return 3;
  RemoteTree t2(pi.hProcess, s.tree());
  t2.Select(t2.Get(t2.Selected(), TVGN_PARENT));
  Click(s.cancel(dlg));
  Out(std::string("after cancel dialog hidden=") + (WaitHidden(dlg) ? "1" : "0"));
  s.PrintInstallpath("cancel");

  // 6. the drive root, chosen with Enter
  if (!s.Open("open3")) return 3;
  RemoteTree t3(pi.hProcess, s.tree());
  t3.Select(t3.Get(t3.Selected(), TVGN_PARENT));
  Out("enter selected=" + t3.Chain(t3.Selected()));
  SetForegroundWindow(dlg);
  Key(s.tree(), VK_RETURN);
  Out(std::string("after enter dialog hidden=") + (WaitHidden(dlg) ? "1" : "0"));
  s.PrintInstallpath("enter");

  // 7. the close box answers Cancel
  if (!s.Open("open4")) return 3;
  RemoteTree t4(pi.hProcess, s.tree());
  t4.Select(t4.Get(t4.Selected(), TVGN_CHILD));
  PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
  Out(std::string("after close dialog hidden=") + (WaitHidden(dlg) ? "1" : "0"));
  s.PrintInstallpath("close");
  Out(std::string("after close wizard enabled=") + (IsWindowEnabled(wizard) ? "1" : "0"));

  // 8. a folder named outside the 8-bit code page keeps its name in the destination
  if (!s.Open("open5")) return 3;
  RemoteTree t5(pi.hProcess, s.tree());
  const HTREEITEM root_drive = t5.Selected();
  Key(s.tree(), VK_RIGHT);  // the drive's branch was closed and is listed afresh
  for (int i = 0; i < 40 && !t5.Expanded(root_drive); ++i) Sleep(50);
  const HTREEITEM omega = t5.ChildNamed(root_drive, L"\u03a9mega");
  if (Need(omega != nullptr, "folder named with omega")) {
    t5.Select(omega);
    Click(s.ok(dlg));
    Out(std::string("after unicode dialog hidden=") + (WaitHidden(dlg) ? "1" : "0"));
    s.PrintInstallpath("unicode");
  }

  PostMessageW(wizard, WM_CLOSE, 0, 0);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    Out("usage: kestrel_dirdriver SHOTPREFIX EXE [ARGS...]");
    return 2;
  }
  const std::wstring shots = argv[1];
  std::wstring cmd = L"\"" + std::wstring(argv[2]) + L"\"";
  for (int i = 3; i < argc; ++i) cmd += L" \"" + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    Out("start=failed " + std::to_string(GetLastError()));
    return 2;
  }
  WaitForInputIdle(pi.hProcess, 10000);
  int rc = Run(pi, shots);
  if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
    Out("exit=timeout");
    TerminateProcess(pi.hProcess, 99);
    rc = rc ? rc : 3;
  } else {
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    Out("exit=" + std::to_string(code));
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  Out("failures=" + std::to_string(g_failures));
  return rc ? rc : (g_failures ? 1 : 0);
}
