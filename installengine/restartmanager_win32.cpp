#include "installengine/restartmanager_win32.h"

#include <windows.h>
// needs the types windows.h defines
#include <restartmanager.h>

#include "sysutil/cmfunit_win32.h"

namespace kestrel {
namespace {

struct RmCalls {
  decltype(&RmStartSession) start = nullptr;
  decltype(&RmRegisterResources) add = nullptr;
  decltype(&RmGetList) list = nullptr;
  decltype(&RmShutdown) shutdown = nullptr;
  decltype(&RmRestart) restart = nullptr;
  decltype(&RmEndSession) end = nullptr;
};

template <class Fn>
void Bind(HMODULE m, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, name)));
}

// Looked up once, from the system folder only; null members on a system without it.
const RmCalls& Calls() {
  static const RmCalls calls = [] {
    RmCalls c;
    if (HMODULE m = LoadSystemLibrary(L"rstrtmgr.dll")) {
      Bind(m, "RmStartSession", c.start);
      Bind(m, "RmRegisterResources", c.add);
      Bind(m, "RmGetList", c.list);
      Bind(m, "RmShutdown", c.shutdown);
      Bind(m, "RmRestart", c.restart);
      Bind(m, "RmEndSession", c.end);
      if (!c.add || !c.list || !c.shutdown || !c.restart || !c.end) c.start = nullptr;
    }
    return c;
  }();
  return calls;
}

}  // namespace

unsigned long RestartManager::Find(const std::vector<std::u16string>& files,
                                   std::vector<std::u16string>& apps) {
  End();
  apps.clear();
  const RmCalls& rm = Calls();
  if (!rm.start || files.empty()) return 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  DWORD session = 0;
  if (const DWORD e = rm.start(&session, 0, key)) return e;
  session_ = session;
  open_ = true;
  std::vector<LPCWSTR> names;
  names.reserve(files.size());
  for (const std::u16string& f : files) names.push_back(reinterpret_cast<LPCWSTR>(f.c_str()));
  if (const DWORD e =
          rm.add(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr)) {
    return e;
  }
  std::vector<RM_PROCESS_INFO> info;
  DWORD e = ERROR_MORE_DATA;
  // the list may grow between the two calls: asked again until it fits
  for (int tries = 0; e == ERROR_MORE_DATA && tries < 4; ++tries) {
    UINT needed = 0;
    UINT count = static_cast<UINT>(info.size());
    DWORD reasons = 0;
    e = rm.list(session, &needed, &count, info.data(), &reasons);
    if (e == ERROR_MORE_DATA) {
      info.resize(needed + 2);
    } else if (e == 0) {
      info.resize(count);
    }
  }
  if (e) return e;
  const DWORD self = GetCurrentProcessId();
  for (const RM_PROCESS_INFO& p : info) {
    if (p.Process.dwProcessId == self) continue;
    apps.emplace_back(reinterpret_cast<const char16_t*>(p.strAppName));
  }
  return 0;
}

unsigned long RestartManager::Shutdown() {
  return open_ ? Calls().shutdown(session_, 0, nullptr) : ERROR_INVALID_HANDLE;
}

unsigned long RestartManager::Restart() {
  return open_ ? Calls().restart(session_, 0, nullptr) : ERROR_INVALID_HANDLE;
}

void RestartManager::End() {
  if (open_) Calls().end(session_);
  open_ = false;
}

}  // namespace kestrel
