// The socket of both backends: the name lookup, the race of a name's
// addresses in Connect, the receive time-out and the failures' Status
// written once, over a few calls that each backend implements with its own
// system (platform/<os>/sockets.cc) and a TLS channel of its own
// (platform/<os>/tls.cc).
#ifndef VORN_PLATFORM_DIALER_H_
#define VORN_PLATFORM_DIALER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/status.h"

namespace vorn::platform::dial {

// A socket of the system: an fd on Linux, a SOCKET on Windows; both have
// all bits set for "none".
using Handle = std::uintptr_t;
constexpr Handle kNoHandle = ~static_cast<Handle>(0);

// A system error code: errno on Linux, WSAGetLastError on Windows; 0 is
// success.
using OsCode = int;

// One address of a looked-up name, as the system's lookup gave it.
struct Address {
  int family = 0;
  int type = 0;
  int protocol = 0;
  std::string sockaddr;  // the system's socket address, its bytes
};

// A lookup's answer: the addresses in the system's order, or the
// lookup's own code and text when there are none.
struct Lookup {
  std::vector<Address> addresses;
  int os_code = 0;
  std::string os_text;
};

// ---- Implemented by each backend.

// Looks `host` up for `service` (the port's digits), IPv4 and IPv6, for a
// TCP stream; blocks for as long as the system takes.
Lookup Resolve(const std::string& host, const std::string& service);
// A new socket for `address`, not inherited by child processes.
OsCode Open(const Address& address, Handle* out);
// Makes the socket non-blocking and starts a connect to `address`;
// `*pending` when it has not finished yet.
OsCode BeginConnect(Handle s, const Address& address, bool* pending);
// Waits at most `timeout_ms` (negative: no bound) until the pending connect
// of one of `sockets` (at least one) has ended. 0 when one has: `*ended` is
// its index and `*outcome` 0 when it connected, else why it failed. The
// system's time-out code when none ended within the bound, or the wait's
// own failure.
OsCode AwaitFirst(const std::vector<Handle>& sockets, int timeout_ms,
                  size_t* ended, OsCode* outcome);
OsCode SetBlocking(Handle s, bool blocking);
// SO_RCVTIMEO; 0 means no time-out.
OsCode ApplyReceiveTimeout(Handle s, uint32_t timeout_ms);
// Sends some of `data` (at least one byte) on a blocking socket.
OsCode SendSome(Handle s, const char* data, size_t n, size_t* sent);
// Receives at most `n` bytes; `*got` is 0 at the end of the stream. A
// receive time-out is a failure with the system's code for it.
OsCode ReceiveSome(Handle s, char* buf, int n, int* got);
void Discard(Handle s);
// Ends the connection of `s` from another thread: a receive or wait that
// another thread has pending on it returns, and later ones fail.
void Shutdown(Handle s);
// The Status of a failed call's `code` about the connection `object`.
Status OsFailure(OsCode code, const std::string& object);

// A TLS session over a connected socket; destroying it ends the session
// (close_notify when it is still in order) but leaves the socket open.
class TlsChannel {
 public:
  virtual ~TlsChannel() = default;
  // The count sent, or kSocketError with `*error` set.
  virtual int Send(const std::string& data, Status* error) = 0;
  // As Socket::Receive; `receive_timeout_ms` is the socket's.
  virtual int Receive(char* buf, int n, uint32_t receive_timeout_ms,
                      Status* error) = 0;
};

// Runs the handshake with `host` over `s` within `timeout_ms` (0: no
// bound), the certificate checked as Socket::StartTls says; `object` is
// the connection's "host:port". Null on failure, with `*error` set.
std::unique_ptr<TlsChannel> StartTlsChannel(Handle s, const std::string& host,
                                            const std::string& object,
                                            uint32_t timeout_ms,
                                            Status* error);

// ---- Written once.

// Sends all of `data`: 0 or the failure's code.
OsCode SendAll(Handle s, const char* data, size_t n);

// The order in which Connect tries a name's addresses: the families take
// turns, `first_family` first when the name has addresses of it (else the
// first address's family), each family's addresses in the lookup's order.
std::vector<Address> InterleaveFamilies(const std::vector<Address>& addresses,
                                        int first_family = 0);

// The family whose address connected last to `host` in this process (0:
// none yet). A path that never answers (a broken IPv6 route) then costs
// the first connection to a host its kNextAttemptMs, not every one after
// it. Safe from any thread.
int RememberedFamily(const std::string& host);
void RememberFamily(const std::string& host, int family);

// The gap after which Connect starts its next address while the earlier
// ones are still pending.
constexpr uint32_t kNextAttemptMs = 250;
// A pending connect looks this often whether the socket was interrupted.
constexpr uint32_t kInterruptCheckMs = 50;

// The socket both backends hand out. `spare` is an unconnected socket of
// `spare_family` made ahead (on Windows, to tell early that sockets can be
// made at all): Connect uses it for its first address of that family.
class DialedSocket final : public Socket {
 public:
  DialedSocket() = default;
  DialedSocket(Handle spare, int spare_family)
      : spare_(spare), spare_family_(spare_family) {}
  ~DialedSocket() override;
  DialedSocket(const DialedSocket&) = delete;
  DialedSocket& operator=(const DialedSocket&) = delete;

  bool Connect(const std::string& host, uint16_t port,
               uint32_t timeout_ms) override;
  int Send(const std::string& data) override;
  int Receive(char* buf, int n) override;
  void SetReceiveTimeout(uint32_t timeout_ms) override;
  void Close() override;
  bool StartTls(const std::string& host, uint32_t timeout_ms) override;
  void Interrupt() override;

  // Connect after the lookup: races connects to `addresses` in their order,
  // the next one started kNextAttemptMs after the one before, or at once
  // when an earlier one fails; the first to connect is kept, the others
  // closed. The whole race takes at most `timeout_ms` (0: no
  // bound). `object` is the connection's "host:port".
  bool ConnectToAny(const std::vector<Address>& addresses,
                    const std::string& object, uint32_t timeout_ms);

 private:
  // A socket for `address`: the spare when its family fits.
  OsCode OpenFor(const Address& address, Handle* out);
  // Leaves the connected `s` blocking, with the receive time-out applied;
  // 0 or the failure's code.
  OsCode Finish(Handle s);
  // Ends the connection (and its TLS session), keeping the spare.
  void CloseConnection();
  int NotConnected();
  // After Interrupt: the call fails.
  int Interrupted();

  // handle_ changes under `handle_mutex_`, which Interrupt takes to shut
  // it down.
  std::mutex handle_mutex_;
  std::atomic<bool> interrupted_{false};
  Handle handle_ = kNoHandle;
  Handle spare_ = kNoHandle;
  int spare_family_ = 0;
  uint32_t receive_timeout_ms_ = 0;
  int connected_family_ = 0;  // the family of the address that connected
  std::string object_;  // "host:port" of the connection
  std::unique_ptr<TlsChannel> tls_;
};

}  // namespace vorn::platform::dial

#endif  // VORN_PLATFORM_DIALER_H_
