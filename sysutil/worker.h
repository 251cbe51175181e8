// A second thread and the counters two threads hand work over with, one implementation per
// platform (worker_posix.cpp, worker_win32.cpp), so the portable core can run a pipeline.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrel {

class Semaphore {
 public:
  virtual ~Semaphore() = default;
  virtual void Acquire() = 0;  // waits until the count is above zero, then takes one
  virtual void Release() = 0;  // adds one
};

// A thread running one function; its destructor waits for the function to return.
class Worker {
 public:
  virtual ~Worker() = default;
};

// Null when the system cannot make one; the caller then does the work itself.
std::unique_ptr<Semaphore> NewSemaphore(std::uint32_t initial);
std::unique_ptr<Worker> StartWorker(void (*run)(void*), void* context);

}  // namespace kestrel
