// The socket of both backends over their system calls (see dialer.h).
#include "platform/dialer.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/bounded_call.h"

namespace vorn::platform {

std::string HostPort(const std::string& host, uint16_t port) {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace dial {
namespace {

// Looks `host` up, waiting at most `timeout_ms` (0: no bound): a name
// server that never answers keeps the system's lookup for many seconds.
// Nothing when no answer came in time; the lookup given up on runs to its
// end on a thread of its own.
std::optional<Lookup> LookUpWithin(const std::string& host, uint16_t port,
                                   uint32_t timeout_ms) {
  std::string service = std::to_string(port);
  if (timeout_ms == 0) return Resolve(host, service);
  return CallWithin(timeout_ms,
                    [host, service] { return Resolve(host, service); });
}

}  // namespace

OsCode SendAll(Handle s, const char* data, size_t n) {
  while (n > 0) {
    size_t sent = 0;
    OsCode code = SendSome(s, data, n, &sent);
    if (code != 0) return code;
    data += sent;
    n -= sent;
  }
  return 0;
}

DialedSocket::~DialedSocket() { Close(); }

bool DialedSocket::Connect(const std::string& host, uint16_t port,
                           uint32_t timeout_ms) {
  CloseConnection();
  object_ = HostPort(host, port);
  // An empty name is refused without a lookup: Winsock would answer it
  // with the machine's own addresses.
  if (host.empty()) {
    last_error_ = Status::Error(ErrorKind::kHostNotFound, object_);
    return false;
  }
  std::optional<Lookup> found = LookUpWithin(host, port, timeout_ms);
  if (!found) {
    last_error_ = Status::Error(ErrorKind::kTimedOut, object_);
    return false;
  }
  if (found->addresses.empty()) {
    last_error_ = Status::Error(ErrorKind::kHostNotFound, object_,
                                found->os_code, found->os_text);
    return false;
  }
  const std::vector<Address> order =
      InterleaveFamilies(found->addresses, RememberedFamily(host));
  if (!ConnectToAny(order, object_, timeout_ms)) return false;
  RememberFamily(host, connected_family_);
  return true;
}

namespace {

std::mutex remembered_lock;
std::map<std::string, int>& Remembered() {
  static std::map<std::string, int> families;
  return families;
}

}  // namespace

int RememberedFamily(const std::string& host) {
  std::lock_guard<std::mutex> hold(remembered_lock);
  auto it = Remembered().find(host);
  return it == Remembered().end() ? 0 : it->second;
}

void RememberFamily(const std::string& host, int family) {
  std::lock_guard<std::mutex> hold(remembered_lock);
  Remembered()[host] = family;
}

std::vector<Address> InterleaveFamilies(const std::vector<Address>& addresses,
                                        int first_family) {
  int lead = addresses.empty() ? 0 : addresses.front().family;
  for (const Address& address : addresses) {
    if (address.family == first_family) lead = first_family;
  }
  std::vector<const Address*> first;
  std::vector<const Address*> other;
  for (const Address& address : addresses) {
    (address.family == lead ? first : other).push_back(&address);
  }
  std::vector<Address> order;
  order.reserve(addresses.size());
  for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size()) order.push_back(*first[i]);
    if (i < other.size()) order.push_back(*other[i]);
  }
  return order;
}

bool DialedSocket::ConnectToAny(const std::vector<Address>& addresses,
                                const std::string& object,
                                uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  CloseConnection();
  object_ = object;
  const Clock::time_point deadline = Clock::now() + milliseconds(timeout_ms);
  // The connects in flight; the next address to start, and when.
  std::vector<Handle> pending;
  std::vector<int> pending_family;  // the family of each pending connect
  size_t next = 0;
  Clock::time_point next_start = Clock::now();
  Handle winner = kNoHandle;
  last_error_ = Status::Error(ErrorKind::kHostNotFound, object_);
  while (winner == kNoHandle) {
    if (interrupted_.load()) {
      Interrupted();
      break;
    }
    Clock::time_point now = Clock::now();
    bool out_of_time = timeout_ms != 0 && now >= deadline;
    if (!out_of_time && next < addresses.size() &&
        (pending.empty() || now >= next_start)) {
      const Address& address = addresses[next++];
      Handle s = kNoHandle;
      bool in_flight = false;
      OsCode code = OpenFor(address, &s);
      if (code == 0) code = BeginConnect(s, address, &in_flight);
      if (code == 0 && !in_flight) code = Finish(s);
      if (code != 0) {
        // Failed at once: the next address starts without waiting.
        last_error_ = OsFailure(code, object_);
        if (s != kNoHandle) Discard(s);
      } else if (!in_flight) {
        winner = s;
        connected_family_ = address.family;
      } else {
        pending.push_back(s);
        pending_family.push_back(address.family);
        next_start = now + milliseconds(kNextAttemptMs);
      }
      continue;
    }
    if (pending.empty()) {
      // Every address started has failed; out of time before the rest.
      if (next < addresses.size()) {
        last_error_ = Status::Error(ErrorKind::kTimedOut, object_);
      }
      break;
    }
    // Until one of the connects in flight ends, the next address is due or
    // the race is out of time, whichever comes first.
    bool last_wait = next >= addresses.size() || out_of_time;
    Clock::time_point until = next_start;
    if (timeout_ms != 0 && (last_wait || deadline <= next_start)) {
      until = deadline;
      last_wait = true;
    }
    int wait_ms = -1;  // the last wait of a race without a bound
    if (timeout_ms != 0 || !last_wait) {
      auto left =
          std::chrono::duration_cast<milliseconds>(until - now).count();
      // Rounded up, so that the wait does not end just short of `until`.
      wait_ms = left < 0 ? 0 : static_cast<int>(left) + 1;
    }
    // In short waits, so that an interruption is heard.
    const bool sliced =
        wait_ms < 0 || wait_ms > static_cast<int>(kInterruptCheckMs);
    if (sliced) wait_ms = static_cast<int>(kInterruptCheckMs);
    size_t ended = 0;
    OsCode outcome = 0;
    OsCode code = AwaitFirst(pending, wait_ms, &ended, &outcome);
    if (code != 0) {
      // Out of time (kTimedOut) or the wait failed: the race ends when this
      // was its last wait; else the next address is due.
      if (sliced && (timeout_ms == 0 || Clock::now() < until)) continue;
      if (!last_wait) continue;
      last_error_ = OsFailure(code, object_);
      break;
    }
    Handle s = pending[ended];
    const int family = pending_family[ended];
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(ended));
    pending_family.erase(pending_family.begin() +
                         static_cast<std::ptrdiff_t>(ended));
    if (outcome == 0) outcome = Finish(s);
    if (outcome == 0) {
      winner = s;
      connected_family_ = family;
    } else {
      last_error_ = OsFailure(outcome, object_);
      Discard(s);
      next_start = Clock::now();  // a failure starts the next one at once
    }
  }
  for (Handle s : pending) Discard(s);
  if (winner != kNoHandle && interrupted_.load()) {
    Discard(winner);
    winner = kNoHandle;
    Interrupted();
  }
  if (winner == kNoHandle) return false;
  std::lock_guard<std::mutex> hold(handle_mutex_);
  handle_ = winner;
  last_error_ = Status();
  return true;
}

OsCode DialedSocket::OpenFor(const Address& address, Handle* out) {
  if (spare_ != kNoHandle) {
    Handle spare = std::exchange(spare_, kNoHandle);
    if (spare_family_ == address.family) {
      *out = spare;
      return 0;
    }
    Discard(spare);
  }
  return Open(address, out);
}

OsCode DialedSocket::Finish(Handle s) {
  // Connected without blocking, so that the race could be bounded; back to
  // blocking calls for the transfer.
  OsCode code = SetBlocking(s, true);
  // A receive time-out that the system would not take fails the connect.
  if (code == 0) code = ApplyReceiveTimeout(s, receive_timeout_ms_);
  return code;
}

int DialedSocket::Send(const std::string& data) {
  if (interrupted_.load()) return Interrupted();
  if (handle_ == kNoHandle) return NotConnected();
  if (tls_ != nullptr) return tls_->Send(data, &last_error_);
  OsCode code = SendAll(handle_, data.data(), data.size());
  if (code != 0) {
    last_error_ = OsFailure(code, object_);
    return kSocketError;
  }
  last_error_ = Status();
  return static_cast<int>(data.size());
}

int DialedSocket::Receive(char* buf, int n) {
  if (interrupted_.load()) return Interrupted();
  if (handle_ == kNoHandle || n < 0) return NotConnected();
  if (tls_ != nullptr) {
    return tls_->Receive(buf, n, receive_timeout_ms_, &last_error_);
  }
  int got = 0;
  OsCode code = ReceiveSome(handle_, buf, n, &got);
  if (code != 0) {
    // A receive time-out included: the backend maps it to kTimedOut.
    last_error_ = OsFailure(code, object_);
    return kSocketError;
  }
  last_error_ = Status();
  return got;
}

void DialedSocket::SetReceiveTimeout(uint32_t timeout_ms) {
  receive_timeout_ms_ = timeout_ms;
  if (handle_ == kNoHandle) return;
  // A connection whose time-out cannot be applied could wait for ever: it
  // is closed instead, and the next call fails.
  OsCode code = ApplyReceiveTimeout(handle_, timeout_ms);
  if (code != 0) {
    Close();
    last_error_ = OsFailure(code, object_);
  }
}

bool DialedSocket::StartTls(const std::string& host, uint32_t timeout_ms) {
  if (interrupted_.load()) {
    Interrupted();
    return false;
  }
  if (handle_ == kNoHandle) {
    NotConnected();
    return false;
  }
  if (tls_ != nullptr) {
    last_error_ = Status::Error(ErrorKind::kOther, object_);
    return false;
  }
  tls_ = StartTlsChannel(handle_, host, object_, timeout_ms, &last_error_);
  if (tls_ == nullptr) {
    Close();
    return false;
  }
  last_error_ = Status();
  return true;
}

void DialedSocket::CloseConnection() {
  tls_.reset();  // close_notify first, while the socket is open
  std::lock_guard<std::mutex> hold(handle_mutex_);
  if (handle_ != kNoHandle) Discard(handle_);
  handle_ = kNoHandle;
}

void DialedSocket::Interrupt() {
  std::lock_guard<std::mutex> hold(handle_mutex_);
  interrupted_.store(true);
  if (handle_ != kNoHandle) Shutdown(handle_);
}

void DialedSocket::Close() {
  CloseConnection();
  if (spare_ != kNoHandle) Discard(spare_);
  spare_ = kNoHandle;
}

int DialedSocket::NotConnected() {
  last_error_ = Status::Error(ErrorKind::kClosed, object_);
  return kSocketError;
}

int DialedSocket::Interrupted() {
  last_error_ = Status::Error(ErrorKind::kClosed, object_, 0, "interrupted");
  return kSocketError;
}

}  // namespace dial
}  // namespace vorn::platform
