// The install engine `tinstallengine`: the installation on a worker thread of its own, with the
// wizard's steps (the bar, the final report) run on the main thread through the toolkit's
// synchronous call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "installengine/installrun.h"
#include "toolkit/thread.h"

namespace kestrel {

class Triform;

class tinstallengine final : public ui::WorkerThread, private InstallSystem {
 public:
  // Made without its thread running; Start() runs RunInstall once.
  explicit tinstallengine(Triform& wizard);
  // Waits a bounded time for the worker to finish the file in hand; a worker that is still
  // running after that is left to the end of the process.
  ~tinstallengine() override;

  // Set by the wizard before OpenPackage and Start.
  std::int64_t packageend = 0;
  std::string productname;
  std::string mainexe;
  std::u16string destfolder;

  // Keys an enciphered package, before OpenPackage (the wizard's accepted password).
  void SetKey(std::span<const std::uint8_t> key) { run_.reader().SetKey(key); }
  // Opens the program's own file and reads the package's directory (main thread, once).
  bool OpenPackage();

  // Read by the wizard only while the worker waits in its final step, or before the start.
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
  // InstallSystem
  bool UseWideApi() override;
  bool CloseRunningWindow(const std::string& pattern) override;
  std::string ReadMachineString(const std::string& key, const std::string& value) override;
  bool ServiceRunning(const std::string& name) override;
  bool ServiceStop(const std::string& name) override;
  bool ServiceDelete(const std::string& name) override;
  bool ServiceCreate(const std::string& name, const std::u16string& programpath) override;
  bool ServiceStart(const std::string& name) override;
  void WriteRegistryRows(const std::vector<RegistryRow>& rows) override;
  void CreateShortcuts(const ShortcutPlan& plan) override;
  std::u16string WindowsFolder() override;
  std::u16string DesktopFolder() override;
  std::u16string ProgramsFolder() override;
  std::u16string StartMenuFolder() override;
  void Pause(int milliseconds) override;
  void SafePoint() override;
  bool Cancelled() override { return Terminated(); }
  void ShowProgress(std::int32_t progress) override;
  void InstallDone(bool failed, const std::u16string& statustext) override;
  void InstallStopped(const std::u16string& statustext) override;

  // Runs `step` on the main thread once the worker may go on; returns false without running it
  // after a cancel. A call that arrives while the question is open is handed back and repeated.
  template <class Step>
  bool MainThreadStep(Step step);

  Triform& wizard_;
  InstallRun run_;
  HANDLE go_ = nullptr;    // manual-reset, set while the worker may run
  HANDLE stop_ = nullptr;  // manual-reset, set by a confirmed cancel
  bool started_ = false;
  // main thread only
  bool holding_ = false;
  bool cancelled_ = false;
  // the bar position last shown, so unchanged positions skip the main thread (worker only)
  std::int32_t shown_progress_ = -1;
};

}  // namespace kestrel
