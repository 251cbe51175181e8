#include "sysutil/handles_win32.h"
#include "sysutil/worker.h"

namespace kestrel {
namespace {

class Win32Semaphore final : public Semaphore {
 public:
  explicit Win32Semaphore(HANDLE h) : h_(h) {}
  void Acquire() override { WaitForSingleObject(h_.get(), INFINITE); }
  void Release() override { ReleaseSemaphore(h_.get(), 1, nullptr); }

 private:
  win::Owned<HANDLE, win::KernelTraits> h_;
};

struct Start {
  void (*run)(void*);
  void* context;
};

DWORD WINAPI ThreadMain(LPVOID p) {
  const Start* s = static_cast<const Start*>(p);
  s->run(s->context);
  return 0;
}

class Win32Worker final : public Worker {
 public:
  explicit Win32Worker(Start start) : start_(start) {}
  bool Begin() {
    h_.reset(CreateThread(nullptr, 0, ThreadMain, &start_, 0, nullptr));
    return static_cast<bool>(h_);
  }
  ~Win32Worker() override {
    if (h_) WaitForSingleObject(h_.get(), INFINITE);
  }

 private:
  Start start_;
  win::Owned<HANDLE, win::KernelTraits> h_;
};

}  // namespace

std::unique_ptr<Semaphore> NewSemaphore(std::uint32_t initial) {
  HANDLE h = CreateSemaphoreW(nullptr, static_cast<LONG>(initial), 0x7FFFFFFF, nullptr);
  if (!h) return nullptr;
  return std::make_unique<Win32Semaphore>(h);
}

std::unique_ptr<Worker> StartWorker(void (*run)(void*), void* context) {
  auto w = std::make_unique<Win32Worker>(Start{run, context});
  if (!w->Begin()) return nullptr;
  return w;
}

}  // namespace kestrel
