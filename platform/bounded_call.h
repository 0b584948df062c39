// A bound for calls that have no time-out of their own (a name lookup,
// the automatic proxy configuration): the call runs on a helper thread and
// the caller waits for its answer at most a given time. A call given up on runs to its end on its own thread;
// its answer is destroyed there, and it touches nothing of the caller's.
#ifndef VORN_PLATFORM_BOUNDED_CALL_H_
#define VORN_PLATFORM_BOUNDED_CALL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace vorn::platform {

// Runs `work` on a helper thread that nobody joins and waits at most
// `timeout_ms` for it to return: true when it did, false when it did not
// or no thread could be started. Each backend starts the thread and waits
// with its own system's calls (on Windows the C++ library's timed
// condition wait was seen to miss a wake-up now and then).
bool RunDetachedWithin(uint32_t timeout_ms, std::function<void()> work);

// Runs `work` on a helper thread and returns its answer, or nothing when
// it took longer than `timeout_ms` or no thread could be started. `work`
// must own everything it uses (capture by value): it may outlive the call.
template <typename Work>
auto CallWithin(uint32_t timeout_ms, Work work)
    -> std::optional<decltype(work())> {
  using Answer = decltype(work());
  // Shared by the caller and the helper; the last one to let go frees it.
  // The helper writes the answer before it signals, and the caller reads
  // it only after the signal.
  auto answer = std::make_shared<std::optional<Answer>>();
  bool done = RunDetachedWithin(
      timeout_ms, [answer, work]() mutable { answer->emplace(work()); });
  if (!done) return std::nullopt;
  return std::move(*answer);
}

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_BOUNDED_CALL_H_
