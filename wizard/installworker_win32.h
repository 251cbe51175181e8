// The install engine `tinstallengine`: the installation on a worker thread of its own. It is the
// run's observer on the worker: it holds the run while a question is open, and hands the
// reports (the bar, the end, a stop) to the main-thread observer through the toolkit's
// synchronous call.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "installengine/installrun.h"
#include "sysutil/handles_win32.h"
#include "toolkit/thread_win32.h"

namespace kestrel {

class tinstallengine final : public ui::WorkerThread, private InstallObserver {
 public:
  // Made without its thread running; Start() runs RunInstall once. `mainthread` gets the
  // reports on the main thread.
  tinstallengine(const ConfigRecord& config, InstallSystem& system, InstallReports& mainthread,
                 const Log& log);
  // Waits a bounded time for the worker to finish the file in hand; a worker that is still
  // running after that is left to the end of the process.
  ~tinstallengine() override;

  // Set before OpenPackage and Start.
  std::int64_t packageend = 0;
  PackageFile* checkedfile = nullptr;  // the program's file as start-up checked it
  std::u16string destfolder;

  // Keys an enciphered package, before OpenPackage (the wizard's accepted password).
  void SetKey(std::span<const std::uint8_t> key) { run_.reader().SetKey(key); }
  void SkipCosmeticPauses() { run_.SkipCosmeticPauses(); }
  void SetAllowDowngrade(bool allow) { run_.allowdowngrade = allow; }
  void SetApplications(bool close, bool restart) {
    run_.closeapplications = close;
    run_.restartapplications = restart;
  }
  // The package's files already in place below `destfolder` (main thread, after OpenPackage).
  std::vector<std::u16string> FilesInPlace() {
    run_.destfolder = destfolder;
    return run_.FilesInPlace();
  }
  bool downgrade() const { return run_.downgrade(); }
  // Every change was made and kept (read once the worker has ended).
  bool committed() const { return run_.committed(); }
  bool restart() const { return run_.restart(); }
  // HKCU for an installation for one user; before Start.
  void SetRoot(RegRoot root) { run_.root = root; }
  void SetNames(const ProductNames* names) { run_.names = names; }
  void SetLanguage(const std::string& language) { run_.language = language; }
  // Reads the package's directory from `checkedfile` (main thread, once).
  bool OpenPackage();

  // Read only while the worker waits in its final step, or before the start.
  const std::u16string& statustext() const { return run_.statustext(); }
  bool failed() const { return run_.failed(); }

  // Main thread. The worker halts at its next safe point until Continue or Cancel; the
  // installation does not advance while the user is asked whether to cancel.
  void Hold();
  void Continue();
  // Main thread: the confirmed cancel. The worker finishes the file in hand, starts nothing more
  // and reports nothing.
  void Cancel();
  // Starts the worker; false when the system could not make the thread.
  bool StartInstall();
  // True once the worker has ended (or never started).
  bool Finished();

 protected:
  void Execute() override;

 private:
  // InstallObserver, on the worker
  void Pause(int milliseconds) override;
  void SafePoint() override;
  bool Cancelled() override { return Terminated(); }
  void ShowProgress(std::int32_t progress) override;
  void InstallDone(bool failed, const std::u16string& statustext) override;
  void InstallStopped(const std::u16string& statustext) override;
  void RollingBack() override;

  // Runs `step` on the main thread once the worker may go on; returns false without running it
  // after a cancel. A call that arrives while the question is open is handed back and repeated.
  template <class Step>
  bool MainThreadStep(Step step);

  InstallReports& mainthread_;
  InstallRun run_;
  win::Event go_;    // manual-reset, set while the worker may run
  win::Event stop_;  // manual-reset, set by a confirmed cancel
  bool started_ = false;
  // main thread only
  // read by the worker at every safe point: set while a question is open
  std::atomic<bool> holding_{false};
  bool cancelled_ = false;
  // the bar position last shown, so unchanged positions skip the main thread (worker only)
  std::int32_t shown_progress_ = -1;
};

}  // namespace kestrel
