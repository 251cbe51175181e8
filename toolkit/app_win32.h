// The application object: window classes, the hidden owner window that carries the program's
// title on the taskbar, the message loop and termination.
#pragma once

#include <windows.h>

#include <memory>
#include <string_view>

#include "toolkit/controls_win32.h"

namespace kestrel::ui {

class Application {
 public:
  static Application& Get();

  // Registers the window classes, loads the common controls and creates the owner window.
  bool Initialize(HINSTANCE instance, std::u16string_view title);
  HWND handle() const { return window_; }
  HINSTANCE instance() const { return instance_; }

  // The form whose closing ends the loop; it gets the keyboard navigation between controls.
  void SetMainForm(Form* form);
  // Ends the message loop at its next turn with this exit code.
  void Terminate(int exit_code);
  bool Terminated() const { return terminated_; }
  // The code the process ends with, whatever ended the loop.
  void SetExitCode(int exit_code) { exit_code_ = exit_code; }
  int ExitCode() const { return exit_code_; }
  // Processes messages until the main form closes or Terminate is called; returns the exit code.
  int Run();

  // The form's fonts: "MS Shell Dlg 2" at 8 points for the screen's density.
  const Font& NormalFont() const { return *normal_font_; }
  const Font& BoldFont() const { return *bold_font_; }
  int Dpi() const { return dpi_; }

  ~Application();

 private:
  Application() = default;
  static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp);

  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
  Form* main_form_ = nullptr;
  bool terminated_ = false;
  int exit_code_ = 0;
  int dpi_ = 96;
  std::unique_ptr<Font> normal_font_;
  std::unique_ptr<Font> bold_font_;
};

// The message posted to the owner window to run a worker's call on the main thread.
inline constexpr UINT kSyncCallMessage = WM_APP + 0x51;

}  // namespace kestrel::ui
