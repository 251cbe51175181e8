// setup.exe: installs the package appended to it, or, started as "-ui <program>", uninstalls.
#include <windows.h>

#include "package/pkgfile_win32.h"
#include "setup/runtime_win32.h"
#include "setup/session_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "toolkit/thread_win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kestrel::InstallFaultHandlers();
  // before anything can load a DLL by name
  kestrel::RestrictDllSearch();
  kestrel::BindFileFunctions64();
  kestrel::ui::SetMainThread();
  return kestrel::RunSession(instance);
}
