#include "platform/threads.h"

#include <pthread.h>

#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

// A started thread. Never freed: handles stay valid until the process ends,
// as Windows thread handles that nobody closes do. Every record stays
// listed in a registry that lives as long, so none of them is lost memory.
struct LinuxThread {
  pthread_t id;
  ThreadProc proc;
  void* arg;
  bool joined = false;
};

void* Trampoline(void* raw) {
  auto* thread = static_cast<LinuxThread*>(raw);
  thread->proc(thread->arg);
  return nullptr;
}

class LinuxThreads final : public Threads {
 public:
  ThreadHandle StartThread(ThreadProc proc, void* arg) override {
    auto* thread = new (std::nothrow) LinuxThread{pthread_t(), proc, arg};
    if (thread == nullptr) return nullptr;
    if (pthread_create(&thread->id, nullptr, Trampoline, thread) != 0) {
      delete thread;
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(mu_);
    registry_->push_back(thread);
    return thread;
  }

  bool WaitAll(const ThreadHandle* handles, int count) override {
    bool ok = true;
    for (int i = 0; i < count; ++i) ok = WaitOne(handles[i]) && ok;
    return ok;
  }

  bool WaitOne(ThreadHandle handle) override {
    auto* thread = static_cast<LinuxThread*>(handle);
    if (thread == nullptr) return false;
    if (thread->joined) return true;
    if (pthread_join(thread->id, nullptr) != 0) return false;
    thread->joined = true;
    return true;
  }

 private:
  std::mutex mu_;
  // Never destroyed: a worker may still be running while the process exits.
  std::vector<LinuxThread*>* registry_ = new std::vector<LinuxThread*>();
};

}  // namespace

Threads* DefaultThreads() {
  static LinuxThreads threads;
  return &threads;
}

}  // namespace vorn::platform::linux_os

namespace vorn::platform {

int32_t AtomicFetchIncrement(volatile int32_t* counter) {
  return __atomic_fetch_add(counter, 1, __ATOMIC_SEQ_CST);
}

int32_t AtomicLoad(const volatile int32_t* value) {
  return __atomic_load_n(value, __ATOMIC_SEQ_CST);
}

}  // namespace vorn::platform
