// Shows one toolkit message box, or runs a worker thread's calls onto the main thread, so the
// end-to-end tests can check them. Exit code: the answer (6 yes, 7 no, 1 after OK), or for
// "sync" 0 when every call ran on the main thread in order.
//   kestrel_uiprobe warning|confirm|error TEXT
//   kestrel_uiprobe sync
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <string>

#include "toolkit/app.h"
#include "toolkit/msgbox.h"
#include "toolkit/thread.h"

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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
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
  if (cmd == L"sync") {
    Counter worker;
    if (!worker.Start()) return 3;
    app.Run();
    worker.WaitFor(5000);
    return worker.calls == 50 && worker.wrong_thread == 0 ? 0 : 2;
  }
  return 100;
}
