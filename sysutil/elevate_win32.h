// Setup started again with administrator rights: for an installation for every user from a
// package that also installs for one user, whose program asks for no elevation of its own.
#pragma once

#include <windows.h>

#include <string>

namespace kestrel {

struct ElevatedRun {
  bool started = false;
  unsigned long error = 0;  // why it did not start; ERROR_CANCELLED: the user said no
  int code = 0;             // its exit code, once it has ended
};

// Starts this program with the "runas" verb and `parameters`, and waits for its end while the
// calling thread's windows keep being served. `owner`: the window the system's question belongs
// to, or null.
ElevatedRun RunElevated(const std::u16string& parameters, HWND owner);

}  // namespace kestrel
