// TLS through OpenSSL's libssl over a connected socket: TLS 1.2 at least,
// the chain checked against OpenSSL's default locations, SNI for a name,
// and the sessions of a host resumed by its later connections.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/dialer.h"
#include "platform/linux/linux_common.h"

namespace vorn::platform::dial {
namespace {

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

bool IsAddressLiteral(const std::string& host) {
  unsigned char buf[sizeof(struct in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

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

class OpenSslChannel final : public TlsChannel {
 public:
  OpenSslChannel(int fd, std::string object)
      : fd_(fd), object_(std::move(object)) {}
  ~OpenSslChannel() override {
    if (ssl_ == nullptr) return;
    // close_notify on a connection still in order; one send, no wait for
    // the server's answer.
    if (usable_) SSL_shutdown(ssl_);
    SSL_free(ssl_);  // frees the BIO as well
  }
  OpenSslChannel(const OpenSslChannel&) = delete;
  OpenSslChannel& operator=(const OpenSslChannel&) = delete;

  // The SSL object over our BIO, asking for `host`: SNI for a name only,
  // and the name or the address checked against the certificate.
  bool NewSession(TlsContext* context, const std::string& host) {
    ssl_ = SSL_new(context->ctx());
    BIO* bio = BIO_new(SocketBioMethod());
    if (ssl_ == nullptr || bio == nullptr) {
      BIO_free(bio);
      return false;
    }
    bio_state_.fd = fd_;
    BIO_set_data(bio, &bio_state_);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);  // the SSL object owns the BIO now
    host_ = host;
    SSL_set_app_data(ssl_, &host_);
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
  bool Handshake(uint32_t timeout_ms, Status* error) {
    const Handle s = static_cast<Handle>(fd_);
    OsCode code = SetBlocking(s, false);
    if (code != 0) {
      *error = OsFailure(code, object_);
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms);
    for (;;) {
      ERR_clear_error();
      bio_state_.last_errno = 0;
      int rc = SSL_connect(ssl_);
      if (rc == 1) break;
      int reason = SSL_get_error(ssl_, rc);
      if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
        *error = HandshakeFailure(reason);
        return false;
      }
      int wait_ms = -1;
      if (timeout_ms != 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        wait_ms = left > 0 ? static_cast<int>(left) : 0;
      }
      code = linux_os::WaitFor(
          fd_, reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, wait_ms);
      if (code != 0) {
        *error = code == ETIMEDOUT
                     ? Status::Error(ErrorKind::kTimedOut, object_)
                     : OsFailure(code, object_);
        return false;
      }
    }
    code = SetBlocking(s, true);
    if (code != 0) {
      *error = OsFailure(code, object_);
      return false;
    }
    usable_ = true;
    return true;
  }

  int Send(const std::string& data, Status* error) override {
    size_t sent = 0;
    while (sent < data.size()) {
      size_t left = data.size() - sent;
      int want = left > INT_MAX ? INT_MAX : static_cast<int>(left);
      ERR_clear_error();
      bio_state_.last_errno = 0;
      int n = SSL_write(ssl_, data.data() + sent, want);
      if (n <= 0) return Failed(n, error);
      sent += static_cast<size_t>(n);
    }
    *error = Status();
    return static_cast<int>(sent);
  }

  int Receive(char* buf, int n, uint32_t, Status* error) override {
    if (n == 0) return 0;
    ERR_clear_error();
    bio_state_.last_errno = 0;
    int got = SSL_read(ssl_, buf, n);
    if (got > 0) {
      *error = Status();
      return got;
    }
    int reason = SSL_get_error(ssl_, got);
    if (reason == SSL_ERROR_ZERO_RETURN ||
        (reason == SSL_ERROR_SYSCALL && bio_state_.eof)) {
      ERR_clear_error();
      *error = Status();
      return 0;  // close_notify, or an end without it (see TlsContext)
    }
    return Failed(got, error);
  }

 private:
  Status HandshakeFailure(int reason) {
    long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
      ERR_clear_error();
      return Status::Error(KindOfVerifyResult(verified), object_,
                           static_cast<int>(verified),
                           X509_verify_cert_error_string(verified));
    }
    if (reason == SSL_ERROR_SYSCALL && bio_state_.last_errno != 0 &&
        !bio_state_.eof) {
      ERR_clear_error();
      return OsFailure(bio_state_.last_errno, object_);
    }
    return Status::Error(
        ErrorKind::kTlsHandshake, object_, 0,
        TakeOpenSslText(bio_state_.eof ? "the server closed the connection"
                                       : "handshake failed"));
  }

  // A TLS read or write that answered `rc`: the failure recorded, and the
  // connection no longer fit for close_notify unless it merely timed out.
  int Failed(int rc, Status* error) {
    int reason = SSL_get_error(ssl_, rc);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      *error = OsFailure(
          bio_state_.last_errno != 0 ? bio_state_.last_errno : EAGAIN,
          object_);
      return kSocketError;
    }
    usable_ = false;
    if (reason == SSL_ERROR_SYSCALL && bio_state_.last_errno != 0) {
      ERR_clear_error();
      *error = OsFailure(bio_state_.last_errno, object_);
    } else {
      *error = Status::Error(ErrorKind::kOther, object_, 0,
                             TakeOpenSslText("TLS failure"));
    }
    return kSocketError;
  }

  const int fd_;
  const std::string object_;  // "host:port" of the connection
  SSL* ssl_ = nullptr;
  BioState bio_state_;
  std::string host_;  // the name sessions are kept under
  bool usable_ = false;
};

}  // namespace

std::unique_ptr<TlsChannel> StartTlsChannel(Handle s, const std::string& host,
                                            const std::string& object,
                                            uint32_t timeout_ms,
                                            Status* error) {
  TlsContext* context = TlsContext::Get();
  if (context == nullptr) {
    *error = Status::Error(ErrorKind::kTlsHandshake, object, 0,
                           TakeOpenSslText("no TLS context"));
    return nullptr;
  }
  auto channel = std::make_unique<OpenSslChannel>(static_cast<int>(s), object);
  if (!channel->NewSession(context, host)) {
    *error = Status::Error(ErrorKind::kTlsHandshake, object, 0,
                           TakeOpenSslText("cannot set up TLS"));
    return nullptr;
  }
  if (!channel->Handshake(timeout_ms, error)) return nullptr;
  return channel;
}

}  // namespace vorn::platform::dial
