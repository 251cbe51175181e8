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

namespace {

// The C runtime's start-up is not linked (it cost setup.exe 10 KB: argument parsing, TLS and
// pseudo-relocation support, a crash handler of its own, none of which this program uses;
// msvcrt.dll sets itself up when it loads). What it did that the program needs is here: the
// static constructors, and the destructors registered while they and the program ran.
using ExitFunction = void (*)();
ExitFunction exit_functions[64];
int exit_count = 0;

int RunSetup() {
  kestrel::InstallFaultHandlers();
  // before anything can load a DLL by name
  kestrel::RestrictDllSearch();
  kestrel::BindFileFunctions64();
  kestrel::ui::SetMainThread();
  return kestrel::RunSession(GetModuleHandleW(nullptr));
}

}  // namespace

// Static objects' destructors and std::atexit land here, run in reverse order at the end.
extern "C" int atexit(ExitFunction f) {
  if (exit_count == 64) return -1;
  exit_functions[exit_count++] = f;
  return 0;
}

extern "C" void __main();  // libgcc's runner of the static constructors

// The program's entry point (the linker's -e). Windows enters a 32-bit program with the stack
// aligned to 4 bytes only; the compiler's code expects 16.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WINAPI KestrelStart() {
  __main();
  const int code = RunSetup();
  while (exit_count > 0) exit_functions[--exit_count]();
  ExitProcess(static_cast<UINT>(code));
}
