// Setup started again with administrator rights: for an installation for every user from a
// package that also installs for one user, whose program asks for no elevation of its own, and
// for the uninstall of such an installation.
#pragma once

#include <windows.h>

#include <string>

#include "sysutil/outcome.h"

namespace kestrel {

// Starts this program with the "runas" verb and `parameters`, and waits for its end while the
// calling thread's windows keep being served. `owner`: the window the system's question belongs
// to, or null.
ElevatedRun RunElevated(const std::u16string& parameters, HWND owner);

}  // namespace kestrel
