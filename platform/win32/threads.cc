// Threads through CreateThread and the wait functions.
#include "platform/threads.h"

#include <functional>
#include <memory>
#include <utility>

#include "platform/bounded_call.h"
#include "platform/win32/win32_common.h"

namespace vorn::platform {

namespace win32 {
namespace {

// What the new thread needs; allocated by the starter, freed by the thread.
struct StartBlock {
  ThreadProc proc;
  void* arg;
};

DWORD WINAPI Trampoline(LPVOID param) {
  std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(param));
  return block->proc(block->arg);
}

class Win32Threads final : public Threads {
 public:
  ThreadHandle StartThread(ThreadProc proc, void* arg) override {
    auto block = std::make_unique<StartBlock>(StartBlock{proc, arg});
    HANDLE handle = CreateThread(/*lpThreadAttributes=*/nullptr,
                                 /*dwStackSize=*/0, Trampoline, block.get(),
                                 /*dwCreationFlags=*/0,
                                 /*lpThreadId=*/nullptr);
    if (handle == nullptr) return nullptr;
    block.release();  // the thread owns it now
    // The handle is never closed: callers keep it until the process ends.
    return handle;
  }

  bool WaitAll(const ThreadHandle* handles, int count) override {
    if (count <= 0) return false;
    // One wait takes at most MAXIMUM_WAIT_OBJECTS handles; waiting for all
    // of several groups in turn is the same as waiting for all at once.
    for (int first = 0; first < count; first += MAXIMUM_WAIT_OBJECTS) {
      int n = count - first;
      if (n > MAXIMUM_WAIT_OBJECTS) n = MAXIMUM_WAIT_OBJECTS;
      DWORD result = WaitForMultipleObjects(
          static_cast<DWORD>(n), const_cast<HANDLE*>(handles + first),
          /*bWaitAll=*/TRUE, INFINITE);
      if (result != WAIT_OBJECT_0) return false;
    }
    return true;
  }

  bool WaitOne(ThreadHandle handle) override {
    return WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0;
  }
};

}  // namespace

Threads* DefaultThreads() {
  static Win32Threads threads;
  return &threads;
}

}  // namespace win32

namespace {

// Held by the caller and the helper thread; the last one to let go frees
// it and its event.
struct DetachedCall {
  std::function<void()> work;
  HANDLE finished;
  LONG holders;
};

void LetGo(DetachedCall* call) {
  if (InterlockedDecrement(&call->holders) == 0) {
    CloseHandle(call->finished);
    delete call;
  }
}

DWORD WINAPI RunDetached(LPVOID param) {
  DetachedCall* call = static_cast<DetachedCall*>(param);
  call->work();
  SetEvent(call->finished);
  LetGo(call);
  return 0;
}

}  // namespace

bool RunDetachedWithin(uint32_t timeout_ms, std::function<void()> work) {
  // A manual-reset event stays set, so a thread that finishes before the
  // wait begins is still seen.
  HANDLE finished = CreateEventA(/*lpEventAttributes=*/nullptr,
                                 /*bManualReset=*/TRUE,
                                 /*bInitialState=*/FALSE, /*lpName=*/nullptr);
  if (finished == nullptr) return false;
  DetachedCall* call = new DetachedCall{std::move(work), finished, 2};
  HANDLE thread = CreateThread(/*lpThreadAttributes=*/nullptr,
                               /*dwStackSize=*/0, RunDetached, call,
                               /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr);
  if (thread == nullptr) {
    CloseHandle(finished);
    delete call;
    return false;
  }
  CloseHandle(thread);
  bool done = WaitForSingleObject(finished, timeout_ms) == WAIT_OBJECT_0;
  LetGo(call);
  return done;
}

}  // namespace vorn::platform
