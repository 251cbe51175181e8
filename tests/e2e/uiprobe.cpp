// Shows one toolkit message box, or runs a worker thread's calls onto the main thread, so the
// end-to-end tests can check them. Exit code: the answer (6 yes, 7 no, 1 after OK), or for
// "sync" 0 when every call ran on the main thread in order.
//   kestrel_uiprobe warning|confirm|error TEXT
//   kestrel_uiprobe sync
//   kestrel_uiprobe fault oom|check|abort|crash   ends in the runtime's Error box
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "setup/runtime_win32.h"
#include "toolkit/app_win32.h"
#include "toolkit/msgbox_win32.h"
#include "toolkit/thread_win32.h"

namespace {

class Counter : public kestrel::ui::WorkerThread {
 public:
  int calls = 0;
  int wrong_thread = 0;
  DWORD main_thread = GetCurrentThreadId();

 protected:
  void Execute() override {
    for (int i = 0; i < 50 && !Terminated(); ++i) {
      Synchronize([this, i] {
        if (GetCurrentThreadId() != main_thread) ++wrong_thread;
        if (calls == i) ++calls;  // counts only calls that arrive in order
      });
    }
    Synchronize([] { kestrel::ui::Application::Get().Terminate(0); });
  }
};

char* volatile g_keep = nullptr;

// Each fault the program must end in a clear message rather than a silent crash.
int Fault(const std::wstring& kind) {
  if (kind == L"oom") {
    // more than the address space holds: the allocation fails at once (the pointer is kept, so
    // the compiler may not leave the allocation out)
    volatile std::size_t huge = static_cast<std::size_t>(-1) - 65536;
    g_keep = new char[huge];
    return g_keep ? 10 : 11;
  }
  if (kind == L"check") {
    std::vector<int> v(3);
    volatile std::size_t at = 7;
    return v.at(at);
  }
  if (kind == L"abort") std::abort();
  if (kind == L"crash") {
    // a page that may not be touched (Wine maps the lowest page for old programs)
    int* volatile p = static_cast<int*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    *p = 1;
    return 12;
  }
  return 100;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kestrel::InstallFaultHandlers();
  kestrel::ui::SetMainThread();
  auto& app = kestrel::ui::Application::Get();
  app.Initialize(instance, u"Kestrel");
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2) return 100;
  const std::wstring cmd = argv[1];
  std::u16string text;
  if (argc > 2) {
    for (const wchar_t* p = argv[2]; *p; ++p) text.push_back(static_cast<char16_t>(*p));
  }
  LocalFree(argv);
  if (cmd == L"warning") return kestrel::ui::WarningBox(nullptr, text) ? IDYES : IDNO;
  if (cmd == L"confirm") return kestrel::ui::ConfirmBox(nullptr, text) ? IDYES : IDNO;
  if (cmd == L"error") {
    kestrel::ui::ErrorBox(nullptr, text);
    return 1;
  }
  if (cmd == L"fault")
    return Fault(argc > 2 ? std::wstring(reinterpret_cast<const wchar_t*>(text.c_str())) : L"");
  if (cmd == L"sync") {
    Counter worker;
    if (!worker.Start()) return 3;
    app.Run();
    worker.WaitFor(5000);
    return worker.calls == 50 && worker.wrong_thread == 0 ? 0 : 2;
  }
  return 100;
}
