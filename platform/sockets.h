// Sockets: blocking TCP client connections with time-outs.
#ifndef VORN_PLATFORM_SOCKETS_H_
#define VORN_PLATFORM_SOCKETS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace vorn::platform {

// Returned by Receive on failure, a time-out included.
constexpr int kSocketError = -1;

// "host:port" of a connection, "[host]:port" for an IPv6 address: the
// object of a failed connection's Status, and an authority's text.
std::string HostPort(const std::string& host, uint16_t port);

// One TCP connection. Not thread-safe; each user owns its own. The
// destructor closes it.
class Socket {
 public:
  virtual ~Socket() = default;
  // Resolves `host` (a name, a dotted IPv4 address or an IPv6 address
  // without brackets, "::1") for both IPv4 and IPv6 and races connects to
  // its addresses: the two families take turns (the family of the system's
  // first address first, each family's addresses in the system's order),
  // each connect starting 250 ms after the one before, or at once when an
  // earlier one has failed. The first to connect is kept and the others
  // are closed. The name lookup waits at most `timeout_ms`, and
  // so does the race as a whole (not each address); 0 means no time-out. A
  // socket connected before is closed first. False on failure, an empty
  // host included, with last_error() saying why: of kind kHostNotFound
  // when the name has no address, kTimedOut when the lookup or the race did
  // not end in time, else the last address's failure, kRefused when nobody
  // listens; its object is HostPort(host, port) (as for every later failure
  // on the connection, TLS ones included). A receive time-out that the
  // system would not take fails that address's connect.
  virtual bool Connect(const std::string& host, uint16_t port,
                       uint32_t timeout_ms) = 0;
  // Sends all of `data`; returns the count sent or kSocketError.
  virtual int Send(const std::string& data) = 0;
  // Receives at most `n` bytes: the count, 0 at the end of the stream,
  // kSocketError on failure or when no byte came for the receive time-out
  // (last_error() of kind kTimedOut). Over TLS the end of the stream is an
  // end with or without the server's close_notify: the caller's own
  // lengths tell a cut answer from a whole one.
  virtual int Receive(char* buf, int n) = 0;
  // Time-out of each Receive call; 0 means none: Receive waits for as long
  // as it takes. Kept across Connect.
  virtual void SetReceiveTimeout(uint32_t timeout_ms) = 0;
  // Closes the connection; closing a closed socket does nothing.
  virtual void Close() = 0;
  // The one call another thread may make while the owner uses the socket:
  // ends the connection, so that the owner's call waiting on it (a connect,
  // the TLS handshake, a receive) fails within a moment, and every later
  // call fails at once, until the socket is destroyed.
  virtual void Interrupt() = 0;
  // Runs a TLS client handshake over the connection (which may be a proxy's
  // tunnel), verifying the server's certificate chain against the system's
  // trust store and `host` (a name or an address) against the certificate;
  // from then on Send and Receive carry TLS records. TLS 1.2 at least; the
  // name goes out as SNI, an address never does. The whole handshake takes
  // at most `timeout_ms` (0: no bound). False on failure, with the
  // connection closed and last_error() saying why (kTlsUntrusted,
  // kTlsWrongName, kTlsExpired, kTlsHandshake, or a socket failure such as
  // kTimedOut). Where the system makes it cheap (Linux), later connections
  // to the same host name resume the first one's session. The trust store
  // is the system's: on Linux OpenSSL's default locations, SSL_CERT_FILE
  // and SSL_CERT_DIR included, read at the process's first TLS connection;
  // on Windows the certificate store.
  virtual bool StartTls(const std::string& host, uint32_t timeout_ms) {
    (void)host;
    (void)timeout_ms;
    last_error_ = Status::Error(ErrorKind::kTlsHandshake, "TLS not available");
    return false;
  }
  // Why the last failed call failed; success after a call that worked.
  const Status& last_error() const { return last_error_; }

 protected:
  Status last_error_;
};

class Network {
 public:
  virtual ~Network() = default;
  // A new, unconnected TCP socket; null when none can be created. The
  // socket layer is initialised on first use.
  virtual std::unique_ptr<Socket> NewSocket() = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_SOCKETS_H_
