// A bound for calls that have no time-out of their own (a name lookup):
// the call runs on a helper thread and the caller waits for its answer at
// most a given time. A call given up on runs to its end on its own thread;
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

// Looks up `host` for `port` through `look_up(host, service)`, which answers
// a pointer-like list (null: none), waiting at most `timeout_ms` (0: no
// bound): a name server that never answers keeps getaddrinfo for many
// seconds. An empty name is refused without a lookup (Winsock would answer
// it with the machine's own addresses).
template <typename LookUp>
auto LookUpWithin(const std::string& host, uint16_t port, uint32_t timeout_ms,
                  LookUp look_up) -> decltype(look_up(host, host)) {
  using Found = decltype(look_up(host, host));
  if (host.empty()) return Found();
  std::string service = std::to_string(port);
  if (timeout_ms == 0) return look_up(host, service);
  std::optional<Found> found = CallWithin(
      timeout_ms, [host, service, look_up] { return look_up(host, service); });
  return found ? std::move(*found) : Found();
}

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_BOUNDED_CALL_H_
