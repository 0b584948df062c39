// The socket of both backends over their system calls (see dialer.h).
#include "platform/dialer.h"

#include <optional>
#include <utility>

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
  // Every address in the order the lookup gave them, each on a socket of
  // its own, each connect bounded by `timeout_ms`; the last failure is the
  // one reported.
  for (const Address& address : found->addresses) {
    Handle s = kNoHandle;
    OsCode code = OpenFor(address, &s);
    if (code != 0) {
      last_error_ = OsFailure(code, object_);
      continue;
    }
    code = ConnectOne(s, address, timeout_ms);
    if (code == 0) {
      handle_ = s;
      last_error_ = Status();
      return true;
    }
    last_error_ = OsFailure(code, object_);
    Discard(s);
  }
  return false;
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

OsCode DialedSocket::ConnectOne(Handle s, const Address& address,
                                uint32_t timeout_ms) {
  // Without blocking, so that the wait can be bounded; then back to
  // blocking calls for the transfer.
  bool pending = false;
  OsCode code = BeginConnect(s, address, &pending);
  if (code == 0 && pending) code = AwaitConnect(s, timeout_ms);
  OsCode restored = SetBlocking(s, true);
  if (code == 0) code = restored;
  // A receive time-out that the system would not take fails the connect.
  if (code == 0) code = ApplyReceiveTimeout(s, receive_timeout_ms_);
  return code;
}

int DialedSocket::Send(const std::string& data) {
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
  if (handle_ != kNoHandle) Discard(handle_);
  handle_ = kNoHandle;
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

}  // namespace dial
}  // namespace vorn::platform
