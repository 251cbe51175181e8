#include "sysutil/elevate_win32.h"

#include <shellapi.h>

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/handles_win32.h"

namespace kestrel {

static_assert(kElevationRefused == ERROR_CANCELLED);

ElevatedRun RunElevated(const std::u16string& parameters, HWND owner) {
  const std::u16string program = ProgramPath();
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // the process handle, and failures told to us rather than shown by the shell
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.hwnd = owner;
  info.lpVerb = L"runas";
  info.lpFile = Wide(program);
  info.lpParameters = Wide(parameters);
  info.nShow = SW_SHOWNORMAL;
  ElevatedRun run;
  if (!ShellExecuteExW(&info) || !info.hProcess) {
    run.error = GetLastError();
    if (run.error == 0) run.error = kElevationRefused;
    return run;
  }
  run.started = true;
  win::Event process(info.hProcess);
  // a window that stops answering its messages would hold up every program that broadcasts
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, INFINITE, QS_ALLINPUT);
    if (r != WAIT_OBJECT_0 + 1) break;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        WaitForSingleObject(info.hProcess, INFINITE);
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  DWORD code = 1603;
  GetExitCodeProcess(info.hProcess, &code);
  run.code = static_cast<int>(code);
  return run;
}

}  // namespace kestrel
