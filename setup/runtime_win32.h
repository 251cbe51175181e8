// How the program ends on a fault: allocation failure, a library check, terminate, abort or an
// unhandled system exception each show an Error box and end the process with exit code 3.
#pragma once

namespace kestrel {

// Catches abort and unhandled system exceptions; the rest is wired at link time.
void InstallFaultHandlers();
[[noreturn]] void OutOfMemory();

}  // namespace kestrel
