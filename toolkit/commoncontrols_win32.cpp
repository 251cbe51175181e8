#include "toolkit/commoncontrols_win32.h"

#include "sysutil/cmfunit_win32.h"

namespace kestrel::ui {
namespace {

using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
using SetSubclassFn = BOOL(WINAPI*)(HWND, SUBCLASSPROC, UINT_PTR, DWORD_PTR);
using DefSubclassFn = LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

// Bound once on the main thread before any window exists, only read afterwards.
SetSubclassFn g_set_subclass = nullptr;
DefSubclassFn g_def_subclass = nullptr;

template <class Fn>
Fn Bind(HMODULE m, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, name)));
}

}  // namespace

bool LoadCommonControls() {
  HMODULE m = LoadSystemLibrary(L"comctl32.dll");
  if (!m) return false;
  g_set_subclass = Bind<SetSubclassFn>(m, "SetWindowSubclass");
  g_def_subclass = Bind<DefSubclassFn>(m, "DefSubclassProc");
  const auto init = Bind<InitFn>(m, "InitCommonControlsEx");
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  return init && init(&icc);
}

BOOL SetSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR data) {
  return g_set_subclass && g_set_subclass(window, proc, id, data);
}

LRESULT DefSubclass(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (g_def_subclass) return g_def_subclass(window, msg, wp, lp);
  return DefWindowProcW(window, msg, wp, lp);
}

}  // namespace kestrel::ui
