// A DLL placed beside a program under a name the program may ask for: it must not be loaded
// once the DLL search is restricted to the system folder.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
