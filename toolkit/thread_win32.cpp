#include "toolkit/thread_win32.h"

#include "toolkit/app_win32.h"

namespace kestrel::ui {
namespace {

DWORD g_main_thread = 0;

struct SyncCall {
  const std::function<void()>* call;
  HANDLE done;
};

}  // namespace

void SetMainThread() {
  g_main_thread = GetCurrentThreadId();
}

void RunSyncCall(LPARAM lp) {
  auto* sc = reinterpret_cast<SyncCall*>(lp);
  if (!sc) return;
  (*sc->call)();
  SetEvent(sc->done);
}

WorkerThread::~WorkerThread() {
  if (thread_) {
    Terminate();
    ResumeThread(thread_);
    WaitFor(INFINITE);
    CloseHandle(thread_);
  }
  if (call_done_) CloseHandle(call_done_);
}

bool WorkerThread::Start() {
  if (thread_) return false;
  if (!call_done_) call_done_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!call_done_) return false;
  thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
  return thread_ != nullptr;
}

void WorkerThread::Suspend() {
  if (thread_) SuspendThread(thread_);
}

void WorkerThread::Resume() {
  if (thread_) ResumeThread(thread_);
}

bool WorkerThread::WaitFor(DWORD timeout_ms) {
  if (!thread_) return true;
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD left = INFINITE;
    if (timeout_ms != INFINITE) {
      DWORD spent = GetTickCount() - start;
      if (spent >= timeout_ms) return WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0;
      left = timeout_ms - spent;
    }
    if (GetCurrentThreadId() != g_main_thread)
      return WaitForSingleObject(thread_, left) == WAIT_OBJECT_0;
    // on the main thread, keep serving the worker's calls or it could never finish
    DWORD r = MsgWaitForMultipleObjects(1, &thread_, FALSE, left, QS_POSTMESSAGE);
    if (r == WAIT_OBJECT_0) return true;
    MSG msg;
    bool served = false;
    while (PeekMessageW(&msg, Application::Get().handle(), kSyncCallMessage, kSyncCallMessage,
                        PM_REMOVE)) {
      DispatchMessageW(&msg);
      served = true;
    }
    if (!served) Sleep(1);  // other posted messages wait for the loop; don't spin on them
  }
}

void WorkerThread::Synchronize(const std::function<void()>& call) {
  if (GetCurrentThreadId() == g_main_thread) {
    call();
    return;
  }
  SyncCall sc{&call, call_done_};
  if (!PostMessageW(Application::Get().handle(), kSyncCallMessage, 0,
                    reinterpret_cast<LPARAM>(&sc))) {
    return;  // no main window left to run it
  }
  WaitForSingleObject(call_done_, INFINITE);
}

DWORD WINAPI WorkerThread::ThreadMain(void* self) {
  static_cast<WorkerThread*>(self)->Execute();
  return 0;
}

}  // namespace kestrel::ui
