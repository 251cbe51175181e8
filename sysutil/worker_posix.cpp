#include <semaphore>
#include <thread>

#include "sysutil/worker.h"

namespace kestrel {
namespace {

class PosixSemaphore final : public Semaphore {
 public:
  explicit PosixSemaphore(std::uint32_t initial) : s_(initial) {}
  void Acquire() override { s_.acquire(); }
  void Release() override { s_.release(); }

 private:
  std::counting_semaphore<> s_;
};

class PosixWorker final : public Worker {
 public:
  PosixWorker(void (*run)(void*), void* context) : t_(run, context) {}
  ~PosixWorker() override { t_.join(); }

 private:
  std::thread t_;
};

}  // namespace

std::unique_ptr<Semaphore> NewSemaphore(std::uint32_t initial) {
  return std::make_unique<PosixSemaphore>(initial);
}

std::unique_ptr<Worker> StartWorker(void (*run)(void*), void* context) {
  try {
    return std::make_unique<PosixWorker>(run, context);
  } catch (...) {  // std::system_error: no thread to be had
    return nullptr;
  }
}

}  // namespace kestrel
