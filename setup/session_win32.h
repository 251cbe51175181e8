// The session: one run of setup.exe from its command line to its exit code. It reads the
// options, opens the log, loads the package (install) or the registry's record (uninstall) and
// runs the wizard, its passive form, or a silent run without any window.
#pragma once

#include <windows.h>

namespace kestrel {

// Returns the process exit code.
int RunSession(HINSTANCE instance);

}  // namespace kestrel
