// The common controls (comctl32), which the system does not always take from its own folder: it
// is loaded when the toolkit starts, after the DLL search was restricted, never at load time,
// and the few calls the toolkit makes are bound by name.
#pragma once

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

namespace kestrel::ui {

// Loads the DLL (version 6, as the manifest asks) and registers the control classes the toolkit
// uses; false when it cannot be loaded.
bool LoadCommonControls();

// SetWindowSubclass and DefSubclassProc; without the DLL the first fails and the second passes
// the message to the window's own procedure.
BOOL SetSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR data);
LRESULT DefSubclass(HWND window, UINT msg, WPARAM wp, LPARAM lp);

}  // namespace kestrel::ui
