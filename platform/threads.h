// Threads: start, wait, atomic counter and sleeping.
#ifndef VORN_PLATFORM_THREADS_H_
#define VORN_PLATFORM_THREADS_H_

#include <cstdint>

namespace vorn::platform {

// Opaque handle of a started thread; null when a start failed. A handle
// stays valid until the process ends (nobody closes worker handles).
using ThreadHandle = void*;
using ThreadProc = uint32_t (*)(void* arg);

class Threads {
 public:
  virtual ~Threads() = default;
  // Starts `proc(arg)` at once on a new thread; null on failure.
  virtual ThreadHandle StartThread(ThreadProc proc, void* arg) = 0;
  // Waits without a time-out until every one of the `count` threads has
  // ended. True when the wait ended normally (WAIT_OBJECT_0).
  virtual bool WaitAll(const ThreadHandle* handles, int count) = 0;
  // Waits without a time-out for one thread. True on a normal end.
  virtual bool WaitOne(ThreadHandle handle) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_THREADS_H_
