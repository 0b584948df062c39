#include "platform/threads.h"

#include <errno.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/bounded_call.h"
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

bool RunDetachedWithin(uint32_t timeout_ms, std::function<void()> work) {
  struct Signal {
    std::mutex mu;
    std::condition_variable done;
    bool finished = false;
  };
  auto signal = std::make_shared<Signal>();
  try {
    std::thread([signal, work = std::move(work)] {
      work();
      std::lock_guard<std::mutex> lock(signal->mu);
      signal->finished = true;
      signal->done.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  std::unique_lock<std::mutex> lock(signal->mu);
  return signal->done.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&signal] { return signal->finished; });
}

}  // namespace vorn::platform
