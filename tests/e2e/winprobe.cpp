// Watches the windows of a setup run for the unattended scenarios.
//
//   kestrel_winprobe run CMDLINE   starts CMDLINE (one argument) and, until the process ends,
//                                  looks at every top-level window it has every few
//                                  milliseconds; prints each window the first time it is seen
//                                  ("window class=... visible=0|1"), whether the wizard's
//                                  progress page was ever shown, the counts and "exit=N"
//   kestrel_winprobe wait CLASS    waits until some process shows a window of that class
//   kestrel_winprobe close CLASS   asks every window of that class to close
// It never clicks anything.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/driverkit.h"
#include "wizard/layout.h"

namespace {

using e2e::ClassOf;
using e2e::Out;
using e2e::Utf8;

struct Scan {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<Scan*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (s->pid == 0 || e2e::OfProgram(pid, s->pid)) s->found.push_back(h);
  return TRUE;
}

std::vector<HWND> WindowsOf(DWORD pid) {
  Scan s{pid, {}};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

int Run(const std::wstring& commandline) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = commandline;
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    Out("start=failed " + std::to_string(GetLastError()));
    return 3;
  }
  std::set<HWND> seen, seen_visible;
  bool progress = false;
  const DWORD start = GetTickCount();
  for (;;) {
    const bool ended = WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
    for (HWND h : WindowsOf(pi.dwProcessId)) {
      const bool visible = IsWindowVisible(h) != 0;
      if (seen.insert(h).second) {
        Out("window class=" + Utf8(ClassOf(h)) + " visible=" + (visible ? "1" : "0"));
      }
      if (visible && seen_visible.insert(h).second) Out("shown class=" + Utf8(ClassOf(h)));
      if (visible && ClassOf(h) == L"KestrelForm") {
        HWND page = GetDlgItem(h, kestrel::WizCtlId(kestrel::WizCtl::mainback));
        if (page) page = GetDlgItem(page, kestrel::WizCtlId(kestrel::WizCtl::pages));
        if (page) page = GetDlgItem(page, kestrel::WizCtlId(kestrel::WizCtl::installingpage));
        if (page && IsWindowVisible(page) && !progress) {
          progress = true;
          Out("progress page seen");
        }
      }
    }
    if (ended) break;
    if (GetTickCount() - start > 120000) {
      Out("exit=timeout");
      TerminateProcess(pi.hProcess, 99);
      return 3;
    }
    Sleep(5);
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  Out("windows=" + std::to_string(seen.size()) + " visible=" + std::to_string(seen_visible.size()));
  Out(std::string("progress=") + (progress ? "1" : "0"));
  Out("exit=" + std::to_string(code));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    Out("usage: kestrel_winprobe run CMDLINE | wait CLASS | close CLASS");
    return 2;
  }
  const std::wstring mode = argv[1];
  if (mode == L"run") return Run(argv[2]);
  const std::wstring cls = argv[2];
  if (mode == L"wait") {
    for (int i = 0; i < 400; ++i) {
      for (HWND h : WindowsOf(0)) {
        if (IsWindowVisible(h) && ClassOf(h) == cls) {
          Out("found=1");
          return 0;
        }
      }
      Sleep(50);
    }
    Out("found=0");
    return 1;
  }
  if (mode == L"close") {
    int n = 0;
    for (HWND h : WindowsOf(0)) {
      if (ClassOf(h) == cls && PostMessageW(h, WM_CLOSE, 0, 0)) ++n;
    }
    Out("closed=" + std::to_string(n));
    return 0;
  }
  return 2;
}
