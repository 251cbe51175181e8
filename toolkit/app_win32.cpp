#include "toolkit/app_win32.h"

#include <string>

#include "toolkit/commoncontrols_win32.h"
#include "toolkit/thread_win32.h"

namespace kestrel::ui {

Application& Application::Get() {
  static Application app;
  return app;
}

Application::~Application() {
  if (window_) DestroyWindow(window_);
}

bool Application::Initialize(HINSTANCE instance, std::u16string_view title) {
  instance_ = instance;
  LoadCommonControls();
  RegisterClasses(instance);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.lpszClassName = L"KestrelApplication";
  RegisterClassExW(&wc);
  const std::u16string t(title);
  // Hidden: it owns the forms and runs the workers' calls on the main thread.
  window_ = CreateWindowExW(WS_EX_TOOLWINDOW, wc.lpszClassName, WideZ(t), WS_POPUP, 0, 0, 0, 0,
                            nullptr, nullptr, instance, nullptr);

  dpi_ = ScreenDpi();
  // 8 points: -11 pixels at 96 DPI
  const int height = -MulDiv(8, dpi_, 72);
  normal_font_ = std::make_unique<Font>(u"MS Shell Dlg 2", height, false);
  bold_font_ = std::make_unique<Font>(u"MS Shell Dlg 2", height, true);
  return window_ != nullptr;
}

void Application::SetMainForm(Form* form) {
  main_form_ = form;
  if (form) form->SetMain(true);
}

void Application::Terminate(int exit_code) {
  if (!terminated_) exit_code_ = exit_code;
  terminated_ = true;
  PostQuitMessage(exit_code);
}

int Application::Run() {
  MSG msg;
  while (!terminated_) {
    BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0 || r == -1) break;
    HWND form = main_form_ ? main_form_->handle() : nullptr;
    // Tab and the arrow keys move between the main form's controls
    if (form && (msg.hwnd == form || IsChild(form, msg.hwnd)) && IsDialogMessageW(form, &msg)) {
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return exit_code_;
}

LRESULT CALLBACK Application::Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kSyncCallMessage) {
    RunSyncCall(lp);
    return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace kestrel::ui
