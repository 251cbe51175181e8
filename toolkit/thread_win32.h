// A worker thread with a termination flag and a synchronous call onto the main thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

namespace kestrel::ui {

class WorkerThread {
 public:
  WorkerThread() = default;
  // Asks the thread to stop and waits for it, still serving its calls onto the main thread.
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts the thread; false if the system could not create it.
  bool Start();
  void Suspend();
  void Resume();
  // Sets the termination flag; Execute reads it between steps.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // Waits for the thread to end (true) or the timeout to pass, serving Synchronize meanwhile.
  bool WaitFor(DWORD timeout_ms);

 protected:
  virtual void Execute() = 0;
  // Runs `call` on the main thread and returns when it has run. On the main thread it just runs.
  void Synchronize(const std::function<void()>& call);

 private:
  static DWORD WINAPI ThreadMain(void* self);
  HANDLE thread_ = nullptr;
  HANDLE call_done_ = nullptr;
  std::atomic<bool> terminated_{false};
};

// Records the main thread; called once by the application before any worker starts.
void SetMainThread();
// Runs one pending worker call; the application's window calls it for kSyncCallMessage.
void RunSyncCall(LPARAM call);

}  // namespace kestrel::ui
