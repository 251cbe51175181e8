#include "installengine/installengine.h"

#include "installengine/registration_win32.h"
#include "package/pkgfile_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"
#include "toolkit/app.h"
#include "wizard/mainunit.h"

namespace kestrel {
namespace {

// How long a running product may take to handle its close request before the install goes on.
constexpr UINT kCloseRequestTimeoutMs = 5000;
// How long the end of the program waits for the worker to finish the file in hand.
constexpr DWORD kWorkerEndTimeoutMs = 3000;

}  // namespace

tinstallengine::tinstallengine(Triform& wizard)
    : wizard_(wizard), run_(wizard.config(), SystemFileSystem(), *this) {
  go_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

tinstallengine::~tinstallengine() {
  if (started_) {
    Terminate();
    if (stop_) SetEvent(stop_);
    if (go_) SetEvent(go_);
    // A worker still busy after the bound is ended with the process; nothing may be torn down
    // under it.
    if (!WaitFor(kWorkerEndTimeoutMs))
      ExitProcess(static_cast<UINT>(ui::Application::Get().ExitCode()));
  }
  if (go_) CloseHandle(go_);
  if (stop_) CloseHandle(stop_);
}

bool tinstallengine::OpenPackage() {
  return run_.OpenPackage(ProgramPath(), packageend);
}

void tinstallengine::Execute() {
  run_.destfolder = destfolder;
  run_.RunInstall();
}

bool tinstallengine::Finished() {
  return !started_ || WaitFor(0);
}

void tinstallengine::Hold() {
  holding_ = true;
  if (go_) ResetEvent(go_);
}

void tinstallengine::Continue() {
  holding_ = false;
  if (go_) SetEvent(go_);
}

void tinstallengine::Cancel() {
  cancelled_ = true;
  holding_ = false;
  Terminate();
  if (stop_) SetEvent(stop_);
  if (go_) SetEvent(go_);
}

bool tinstallengine::StartInstall() {
  started_ = Start();
  return started_;
}

template <class Step>
bool tinstallengine::MainThreadStep(Step step) {
  for (;;) {
    SafePoint();
    if (Terminated()) return false;
    bool handed_back = false;
    Synchronize([&] {
      if (cancelled_) return;
      // the question's own message loop runs posted calls too: refuse while it is open
      if (holding_) {
        handed_back = true;
        return;
      }
      step();
    });
    if (!handed_back) return true;
  }
}

bool tinstallengine::UseWideApi() {
  return kestrel::UseWideApi();
}

bool tinstallengine::CloseRunningWindow(const std::string& pattern) {
  HWND window = FindWindowByPattern(pattern);
  if (!window) return false;
  DWORD_PTR result = 0;
  // a window that never answers must not hold the installation up
  SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                      kCloseRequestTimeoutMs, &result);
  return true;
}

std::string tinstallengine::ReadMachineString(const std::string& key, const std::string& value) {
  return kestrel::ReadMachineString(key, value, "");
}

bool tinstallengine::ServiceRunning(const std::string& name) {
  return kestrel::ServiceRunning(name);
}
bool tinstallengine::ServiceStop(const std::string& name) {
  return kestrel::ServiceStop(name);
}
bool tinstallengine::ServiceDelete(const std::string& name) {
  return kestrel::ServiceDelete(name);
}
bool tinstallengine::ServiceCreate(const std::string& name, const std::u16string& programpath) {
  return kestrel::ServiceCreate(name, programpath);
}
bool tinstallengine::ServiceStart(const std::string& name) {
  return kestrel::ServiceStart(name);
}

void tinstallengine::WriteRegistryRows(const std::vector<RegistryRow>& rows) {
  kestrel::WriteRegistryRows(rows);
}

void tinstallengine::CreateShortcuts(const ShortcutPlan& plan) {
  kestrel::CreateShortcuts(plan);
}

std::u16string tinstallengine::WindowsFolder() {
  return kestrel::WindowsFolder();
}
std::u16string tinstallengine::DesktopFolder() {
  return kestrel::DesktopFolder();
}
std::u16string tinstallengine::ProgramsFolder() {
  return kestrel::ProgramsFolder();
}
std::u16string tinstallengine::StartMenuFolder() {
  return kestrel::StartMenuFolder();
}

void tinstallengine::Pause(int milliseconds) {
  // a confirmed cancel cuts the pause short
  WaitForSingleObject(stop_, static_cast<DWORD>(milliseconds));
}

void tinstallengine::SafePoint() {
  WaitForSingleObject(go_, INFINITE);
}

void tinstallengine::ShowProgress(std::int32_t progress) {
  // A bar position the bar already shows needs no trip to the main thread (one per block would
  // dominate a large install); the safe point still holds the worker while a question is open.
  if (progress == shown_progress_) {
    SafePoint();
    return;
  }
  if (MainThreadStep([&] { wizard_.ShowInstallProgress(progress); })) shown_progress_ = progress;
}

void tinstallengine::InstallDone(bool failed, const std::u16string&) {
  MainThreadStep([&] { wizard_.EngineDone(failed); });
}

void tinstallengine::InstallStopped(const std::u16string& statustext) {
  MainThreadStep([&] { wizard_.InstallStopped(statustext); });
}

}  // namespace kestrel
