// Blocking TCP sockets on Linux, with a bounded name lookup, a bounded
// connect, a receive time-out and TLS through OpenSSL's libssl.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/bounded_call.h"
#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

// ---- Errors: the one place where errno and OpenSSL codes become a Status.

std::string ErrnoText(int code) {
  char buf[256];
  // The GNU strerror_r answers a pointer that may or may not be `buf`.
  return std::string(::strerror_r(code, buf, sizeof(buf)));
}

ErrorKind KindOfErrno(int code) {
  switch (code) {
    case ECONNREFUSED:
      return ErrorKind::kRefused;
    case ETIMEDOUT:
    case EAGAIN:
    case EINPROGRESS:
      return ErrorKind::kTimedOut;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
      return ErrorKind::kClosed;
    case EACCES:
    case EPERM:
      return ErrorKind::kAccessDenied;
    default:
      return ErrorKind::kOther;
  }
}

Status ErrnoStatus(int code, const std::string& detail) {
  return Status::Error(KindOfErrno(code), detail, code, ErrnoText(code));
}

// The kind of a failed certificate check, by X509_V_ERR_* code.
ErrorKind KindOfVerifyResult(long result) {
  switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return ErrorKind::kTlsWrongName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return ErrorKind::kTlsExpired;
    default:
      return ErrorKind::kTlsUntrusted;
  }
}

// The oldest error on this thread's OpenSSL queue as text (the queue is
// emptied), or `fallback` when there is none.
std::string TakeOpenSslText(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char buf[256];
  ERR_error_string_n(code, buf, sizeof(buf));
  return buf;
}

// "host:port", with brackets around an IPv6 address.
std::string HostPort(const std::string& host, uint16_t port) {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char buf[sizeof(struct in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// ---- Name lookup.

struct FreeAddresses {
  void operator()(struct addrinfo* list) const { ::freeaddrinfo(list); }
};

// A getaddrinfo answer: the list (owned; null when there is none) and
// getaddrinfo's code, which stays 0 when no answer came in time.
struct Addresses {
  std::unique_ptr<struct addrinfo, FreeAddresses> list;
  int code = 0;
};

Addresses LookUp(const std::string& host, const std::string& service) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;  // IPv4 and IPv6, in the system's order
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  Addresses answer;
  answer.code = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (answer.code == 0) answer.list.reset(found);
  return answer;
}

// ---- TLS.

// A socket BIO of our own: the library's sends with write(), which raises
// SIGPIPE on a connection the peer has reset; this one sends with
// MSG_NOSIGNAL. It reports the end of the stream, so that an end without
// the server's close_notify reads as an end (see Receive).
struct BioState {
  int fd = -1;
  bool eof = false;
  int last_errno = 0;
};

int BioWrite(BIO* bio, const char* data, size_t n, size_t* written) {
  BioState* state = static_cast<BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t sent = ::send(state->fd, data, n, MSG_NOSIGNAL);
    if (sent >= 0) {
      *written = static_cast<size_t>(sent);
      return 1;
    }
    if (errno == EINTR) continue;
    state->last_errno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return 0;
  }
}

int BioRead(BIO* bio, char* data, size_t n, size_t* got) {
  BioState* state = static_cast<BioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t received = ::recv(state->fd, data, n, 0);
    if (received > 0) {
      *got = static_cast<size_t>(received);
      return 1;
    }
    if (received == 0) {
      state->eof = true;
      return 0;
    }
    if (errno == EINTR) continue;
    state->last_errno = errno;
    // A receive time-out on the blocking socket ends here too: the TLS
    // call answers "want read" and the caller reports the time-out.
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return 0;
  }
}

long BioControl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;
  if (command == BIO_CTRL_EOF) {
    return static_cast<BioState*>(BIO_get_data(bio))->eof ? 1 : 0;
  }
  return 0;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vorn socket");
    if (m != nullptr) {
      BIO_meth_set_write_ex(m, BioWrite);
      BIO_meth_set_read_ex(m, BioRead);
      BIO_meth_set_ctrl(m, BioControl);
    }
    return m;
  }();
  return method;
}

// The process's one client context: TLS 1.2 at least, the peer's chain
// verified against OpenSSL's default locations (so SSL_CERT_FILE and
// SSL_CERT_DIR apply; they are read when the context is made, at the first
// TLS connection), and a session cache shared per host name, so that the
// later connections to a host resume the first one's session and skip
// its public-key work. Only sessions of verified handshakes get here.
class TlsContext {
 public:
  // Null when the context could not be made.
  static TlsContext* Get() {
    static TlsContext* const context = [] {
      SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
      if (ctx == nullptr) return static_cast<TlsContext*>(nullptr);
      if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
          SSL_CTX_set_default_verify_paths(ctx) != 1) {
        SSL_CTX_free(ctx);
        return static_cast<TlsContext*>(nullptr);
      }
      SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
      // An end of the stream without close_notify reads as an end; the
      // HTTP layer's own lengths tell a cut body from a whole one.
      SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
      SSL_CTX_set_session_cache_mode(
          ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
      SSL_CTX_sess_set_new_cb(ctx, OnNewSession);
      return new TlsContext(ctx);  // lives as long as the process
    }();
    return context;
  }

  SSL_CTX* ctx() const { return ctx_; }

  // A session to resume with `host`, with a reference for the caller;
  // null when there is none.
  SSL_SESSION* SessionFor(const std::string& host) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(host);
    if (it == sessions_.end()) return nullptr;
    SSL_SESSION_up_ref(it->second);
    return it->second;
  }

 private:
  explicit TlsContext(SSL_CTX* ctx) : ctx_(ctx) {}

  // The host a connection's sessions are kept under is its app data.
  static int OnNewSession(SSL* ssl, SSL_SESSION* session) {
    const std::string* host =
        static_cast<const std::string*>(SSL_get_app_data(ssl));
    TlsContext* self = Get();
    if (host == nullptr || self == nullptr) return 0;
    std::lock_guard<std::mutex> lock(self->mu_);
    SSL_SESSION*& kept = self->sessions_[*host];
    if (kept != nullptr) SSL_SESSION_free(kept);
    kept = session;
    return 1;  // the reference is ours now
  }

  SSL_CTX* ctx_;
  std::mutex mu_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

// ---- The socket.

// Sets or clears O_NONBLOCK; the errno on failure.
int SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return errno;
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) < 0) return errno;
  return 0;
}

// Waits until `fd` is ready for `events` or `timeout_ms` pass (-1: no
// bound); 0 when ready, else the errno (ETIMEDOUT for the time-out).
int WaitFor(int fd, short events, int timeout_ms) {
  struct pollfd p = {fd, events, 0};
  int waited;
  do {
    waited = ::poll(&p, 1, timeout_ms);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) return errno;
  return waited == 0 ? ETIMEDOUT : 0;
}

class LinuxSocket final : public Socket {
 public:
  ~LinuxSocket() override { Close(); }

  bool Connect(const std::string& host, uint16_t port,
               uint32_t timeout_ms) override {
    Close();
    const std::string detail = HostPort(host, port);
    if (host.empty()) {
      last_error_ = Status::Error(ErrorKind::kNotFound, "no host name");
      return false;
    }
    Addresses found = LookUpWithin(host, port, timeout_ms, LookUp);
    if (found.list == nullptr) {
      last_error_ =
          found.code == 0
              ? Status::Error(ErrorKind::kTimedOut,
                              "looking up " + detail + ": no answer within " +
                                  std::to_string(timeout_ms) + " ms")
              : Status::Error(ErrorKind::kNotFound, "looking up " + detail,
                              found.code, ::gai_strerror(found.code));
      return false;
    }
    // Every address in the order the lookup gave them; the last failure
    // is the one reported.
    for (struct addrinfo* ai = found.list.get(); ai != nullptr;
         ai = ai->ai_next) {
      int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC,
                        ai->ai_protocol);
      if (fd < 0) {
        last_error_ = ErrnoStatus(errno, detail);
        continue;
      }
      int error =
          ConnectWithTimeout(fd, ai->ai_addr, ai->ai_addrlen, timeout_ms);
      if (error == 0) error = ApplyReceiveTimeout(fd);
      if (error == 0) {
        fd_ = fd;
        detail_ = detail;
        last_error_ = Status();
        return true;
      }
      last_error_ = ErrnoStatus(error, detail);
      ::close(fd);
    }
    return false;
  }

  bool StartTls(const std::string& host, uint32_t timeout_ms) override {
    if (fd_ < 0 || ssl_ != nullptr) {
      last_error_ = Status::Error(ErrorKind::kOther, ssl_ != nullptr
                                                         ? "TLS already started"
                                                         : "not connected");
      return false;
    }
    const std::string detail = "TLS with " + host + " at " + detail_;
    TlsContext* context = TlsContext::Get();
    if (context == nullptr) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, detail, 0,
                                  TakeOpenSslText("no TLS context"));
      return false;
    }
    if (!NewSession(context, host)) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, detail, 0,
                                  TakeOpenSslText("cannot set up TLS"));
      Close();
      return false;
    }
    if (!Handshake(timeout_ms, detail)) {
      Close();
      return false;
    }
    last_error_ = Status();
    return true;
  }

  int Send(const std::string& data) override {
    if (fd_ < 0) return NotConnected();
    if (ssl_ != nullptr) return SendTls(data);
    size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n =
          ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        last_error_ =
            ErrnoStatus(n < 0 ? errno : EPIPE, "sending to " + detail_);
        return kSocketError;
      }
      sent += static_cast<size_t>(n);
    }
    last_error_ = Status();
    return static_cast<int>(sent);
  }

  int Receive(char* buf, int n) override {
    if (fd_ < 0 || n < 0) return NotConnected();
    if (ssl_ != nullptr) return ReceiveTls(buf, n);
    for (;;) {
      ssize_t got = ::recv(fd_, buf, static_cast<size_t>(n), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return ReceiveFailed(errno);  // time-outs included
      last_error_ = Status();
      return static_cast<int>(got);
    }
  }

  void SetReceiveTimeout(uint32_t timeout_ms) override {
    receive_timeout_ms_ = timeout_ms;
    if (fd_ < 0) return;
    // A connection whose time-out cannot be applied could wait for ever:
    // it is closed instead, and the next call fails.
    int error = ApplyReceiveTimeout(fd_);
    if (error != 0) {
      Close();
      last_error_ = ErrnoStatus(error, "setting the receive time-out");
    }
  }

  void Close() override {
    if (ssl_ != nullptr) {
      // close_notify on a connection still in order; one send, no wait
      // for the server's answer.
      if (tls_usable_) SSL_shutdown(ssl_);
      SSL_free(ssl_);  // frees the BIO as well
      ssl_ = nullptr;
    }
    bio_state_.reset();
    tls_usable_ = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // Connects without blocking so the wait can be bounded, then goes back
  // to blocking calls; 0 or the errno of the failure.
  static int ConnectWithTimeout(int fd, const struct sockaddr* addr,
                                socklen_t len, uint32_t timeout_ms) {
    int error = SetNonBlocking(fd, true);
    if (error != 0) return error;
    if (::connect(fd, addr, len) != 0) {
      if (errno != EINPROGRESS) return errno;
      error = WaitFor(fd, POLLOUT,
                      timeout_ms == 0 ? -1 : static_cast<int>(timeout_ms));
      if (error != 0) return error;
      int result = 0;
      socklen_t result_len = sizeof(result);
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &result_len) != 0) {
        return errno;
      }
      if (result != 0) return result;
    }
    return SetNonBlocking(fd, false);
  }

  // 0 or the errno of setsockopt.
  int ApplyReceiveTimeout(int fd) const {
    struct timeval tv;
    tv.tv_sec = receive_timeout_ms_ / 1000;
    tv.tv_usec = static_cast<suseconds_t>(receive_timeout_ms_ % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0
               ? 0
               : errno;
  }

  int NotConnected() {
    last_error_ = Status::Error(ErrorKind::kClosed, "not connected");
    return kSocketError;
  }

  int ReceiveFailed(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
      last_error_ =
          Status::Error(ErrorKind::kTimedOut,
                        "receiving from " + detail_ + ": nothing within " +
                            std::to_string(receive_timeout_ms_) + " ms",
                        error, ErrnoText(error));
    } else {
      last_error_ = ErrnoStatus(error, "receiving from " + detail_);
    }
    return kSocketError;
  }

  // The SSL object over our BIO, asking for `host`: SNI for a name only,
  // and the name or the address checked against the certificate.
  bool NewSession(TlsContext* context, const std::string& host) {
    ssl_ = SSL_new(context->ctx());
    BIO* bio = BIO_new(SocketBioMethod());
    if (ssl_ == nullptr || bio == nullptr) {
      BIO_free(bio);
      return false;
    }
    bio_state_ = std::make_unique<BioState>();
    bio_state_->fd = fd_;
    BIO_set_data(bio, bio_state_.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);  // the SSL object owns the BIO now
    tls_host_ = host;
    SSL_set_app_data(ssl_, &tls_host_);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    X509_VERIFY_PARAM_set_hostflags(param,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (IsAddressLiteral(host)) {
      if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
        return false;
      }
    } else if (SSL_set_tlsext_host_name(ssl_, host.c_str()) != 1 ||
               SSL_set1_host(ssl_, host.c_str()) != 1) {
      return false;
    }
    if (SSL_SESSION* session = context->SessionFor(host)) {
      SSL_set_session(ssl_, session);  // takes its own reference
      SSL_SESSION_free(session);
    }
    return true;
  }

  // Runs the handshake without blocking, so that it ends within
  // `timeout_ms` (0: no bound), and goes back to blocking calls.
  bool Handshake(uint32_t timeout_ms, const std::string& detail) {
    int error = SetNonBlocking(fd_, true);
    if (error != 0) {
      last_error_ = ErrnoStatus(error, detail);
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms);
    for (;;) {
      ERR_clear_error();
      bio_state_->last_errno = 0;
      int rc = SSL_connect(ssl_);
      if (rc == 1) break;
      int reason = SSL_get_error(ssl_, rc);
      if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
        last_error_ = HandshakeFailure(reason, detail);
        return false;
      }
      int wait_ms = -1;
      if (timeout_ms != 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        wait_ms = left > 0 ? static_cast<int>(left) : 0;
      }
      error = WaitFor(fd_, reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                      wait_ms);
      if (error != 0) {
        last_error_ =
            error == ETIMEDOUT
                ? Status::Error(ErrorKind::kTimedOut,
                                detail + ": no handshake within " +
                                    std::to_string(timeout_ms) + " ms")
                : ErrnoStatus(error, detail);
        return false;
      }
    }
    error = SetNonBlocking(fd_, false);
    if (error != 0) {
      last_error_ = ErrnoStatus(error, detail);
      return false;
    }
    tls_usable_ = true;
    return true;
  }

  Status HandshakeFailure(int reason, const std::string& detail) {
    long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
      ERR_clear_error();
      return Status::Error(KindOfVerifyResult(verified), detail,
                           static_cast<int>(verified),
                           X509_verify_cert_error_string(verified));
    }
    if (reason == SSL_ERROR_SYSCALL && bio_state_->last_errno != 0 &&
        !bio_state_->eof) {
      ERR_clear_error();
      return ErrnoStatus(bio_state_->last_errno, detail);
    }
    return Status::Error(
        ErrorKind::kTlsHandshake, detail, 0,
        TakeOpenSslText(bio_state_->eof ? "the server closed the connection"
                                        : "handshake failed"));
  }

  int SendTls(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      size_t left = data.size() - sent;
      int want = left > INT_MAX ? INT_MAX : static_cast<int>(left);
      ERR_clear_error();
      bio_state_->last_errno = 0;
      int n = SSL_write(ssl_, data.data() + sent, want);
      if (n <= 0) return TlsFailed(n, "sending to " + detail_);
      sent += static_cast<size_t>(n);
    }
    last_error_ = Status();
    return static_cast<int>(sent);
  }

  int ReceiveTls(char* buf, int n) {
    if (n == 0) return 0;
    ERR_clear_error();
    bio_state_->last_errno = 0;
    int got = SSL_read(ssl_, buf, n);
    if (got > 0) {
      last_error_ = Status();
      return got;
    }
    int reason = SSL_get_error(ssl_, got);
    if (reason == SSL_ERROR_ZERO_RETURN ||
        (reason == SSL_ERROR_SYSCALL && bio_state_->eof)) {
      ERR_clear_error();
      last_error_ = Status();
      return 0;  // close_notify, or an end without it (see TlsContext)
    }
    return TlsFailed(got, "receiving from " + detail_);
  }

  // A TLS read or write that answered `rc`: the failure recorded, and the
  // connection no longer fit for close_notify unless it merely timed out.
  int TlsFailed(int rc, const std::string& detail) {
    int reason = SSL_get_error(ssl_, rc);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      return ReceiveFailed(bio_state_->last_errno != 0 ? bio_state_->last_errno
                                                       : EAGAIN);
    }
    tls_usable_ = false;
    if (reason == SSL_ERROR_SYSCALL && bio_state_->last_errno != 0) {
      ERR_clear_error();
      last_error_ = ErrnoStatus(bio_state_->last_errno, detail);
    } else {
      last_error_ = Status::Error(ErrorKind::kOther, detail, 0,
                                  TakeOpenSslText("TLS failure"));
    }
    return kSocketError;
  }

  int fd_ = -1;
  uint32_t receive_timeout_ms_ = 0;
  std::string detail_;  // "host:port" of the connection
  SSL* ssl_ = nullptr;
  std::unique_ptr<BioState> bio_state_;
  std::string tls_host_;  // the name sessions are kept under
  bool tls_usable_ = false;
};

class LinuxNetwork final : public Network {
 public:
  std::unique_ptr<Socket> NewSocket() override {
    return std::make_unique<LinuxSocket>();
  }
};

}  // namespace

Network* DefaultNetwork() {
  static LinuxNetwork network;
  return &network;
}

}  // namespace vorn::platform::linux_os
