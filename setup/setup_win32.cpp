// setup.exe: installs the package appended to it, or, started as "-ui <program>", uninstalls.
#include <windows.h>

#include "package/pkgfile_win32.h"
#include "setup/runtime_win32.h"
#include "setup/session_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "toolkit/thread_win32.h"

// The load configuration: its dependent-load flags make Windows 10 and later resolve the
// program's load-time imports (known DLLs only) from the system folder alone. GNU ld does not
// point the PE header at it; scripts/stub-pe does after the link. The old header calls the flags'
// field Reserved1.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // every other field is zero
extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY),
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
#pragma GCC diagnostic pop

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kestrel::InstallFaultHandlers();
  // before anything can load a DLL by name
  kestrel::RestrictDllSearch();
  kestrel::BindFileFunctions64();
  kestrel::ui::SetMainThread();
  return kestrel::RunSession(instance);
}
