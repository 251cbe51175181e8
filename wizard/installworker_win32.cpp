#include "wizard/installworker_win32.h"

#include "package/pkgfile_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "toolkit/app_win32.h"

namespace kestrel {
namespace {

// How long the end of the program waits for the worker to finish the file in hand.
constexpr DWORD kWorkerEndTimeoutMs = 3000;

}  // namespace

tinstallengine::tinstallengine(const ConfigRecord& config, InstallSystem& system,
                               InstallReports& mainthread, const Log& log)
    : mainthread_(mainthread),
      run_(config, SystemFileSystem(), system, *this),
      go_(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  run_.SetLog(log);
}

tinstallengine::~tinstallengine() {
  if (started_) {
    Terminate();
    if (stop_) SetEvent(stop_.get());
    if (go_) SetEvent(go_.get());
    // A worker still busy after the bound is ended with the process; nothing may be torn down
    // under it.
    if (!WaitFor(kWorkerEndTimeoutMs))
      ExitProcess(static_cast<UINT>(ui::Application::Get().ExitCode()));
  }
}

bool tinstallengine::OpenPackage() {
  return run_.OpenPackage(ProgramPath(), packageend, checkedfile);
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
  if (go_) ResetEvent(go_.get());
}

void tinstallengine::Continue() {
  holding_ = false;
  if (go_) SetEvent(go_.get());
}

void tinstallengine::Cancel() {
  cancelled_ = true;
  holding_ = false;
  Terminate();
  if (stop_) SetEvent(stop_.get());
  if (go_) SetEvent(go_.get());
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

void tinstallengine::Pause(int milliseconds) {
  // a confirmed cancel cuts the pause short
  WaitForSingleObject(stop_.get(), static_cast<DWORD>(milliseconds));
}

void tinstallengine::SafePoint() {
  // free unless a question is open: no system call per block
  if (holding_.load(std::memory_order_acquire)) WaitForSingleObject(go_.get(), INFINITE);
}

void tinstallengine::ShowProgress(std::int32_t progress) {
  // A bar position the bar already shows needs no trip to the main thread (one per block would
  // dominate a large install); the safe point still holds the worker while a question is open.
  if (progress == shown_progress_) {
    SafePoint();
    return;
  }
  if (MainThreadStep([&] { mainthread_.ShowProgress(progress); })) shown_progress_ = progress;
}

void tinstallengine::InstallDone(bool failed, const std::u16string& statustext) {
  MainThreadStep([&] { mainthread_.InstallDone(failed, statustext); });
}

void tinstallengine::InstallStopped(const std::u16string& statustext) {
  MainThreadStep([&] { mainthread_.InstallStopped(statustext); });
}

}  // namespace kestrel
