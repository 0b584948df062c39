// The Linux system calls under the shared socket (platform/dialer.h):
// getaddrinfo, non-blocking connects waited for with poll, SO_RCVTIMEO,
// and errno mapped to a Status.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialer.h"
#include "platform/linux/linux_common.h"

namespace vorn::platform {

namespace linux_os {
namespace {

class LinuxNetwork final : public Network {
 public:
  std::unique_ptr<Socket> NewSocket() override {
    return std::make_unique<dial::DialedSocket>();
  }
};

}  // namespace

int WaitFor(int fd, short events, int timeout_ms) {
  struct pollfd p = {fd, events, 0};
  int waited;
  do {
    waited = ::poll(&p, 1, timeout_ms);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) return errno;
  return waited == 0 ? ETIMEDOUT : 0;
}

Network* DefaultNetwork() {
  static LinuxNetwork network;
  return &network;
}

}  // namespace linux_os

namespace dial {
namespace {

int Fd(Handle s) { return static_cast<int>(s); }

}  // namespace

Lookup Resolve(const std::string& host, const std::string& service) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;  // IPv4 and IPv6, in the system's order
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  Lookup answer;
  int code = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (code != 0) {
    answer.os_code = code;
    answer.os_text = ::gai_strerror(code);
    return answer;
  }
  for (struct addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    Address address;
    address.family = ai->ai_family;
    address.type = ai->ai_socktype;
    address.protocol = ai->ai_protocol;
    address.sockaddr.assign(reinterpret_cast<const char*>(ai->ai_addr),
                            ai->ai_addrlen);
    answer.addresses.push_back(std::move(address));
  }
  ::freeaddrinfo(found);
  return answer;
}

OsCode Open(const Address& address, Handle* out) {
  int fd = ::socket(address.family, address.type | SOCK_CLOEXEC,
                    address.protocol);
  if (fd < 0) return errno;
  *out = static_cast<Handle>(fd);
  return 0;
}

OsCode SetBlocking(Handle s, bool blocking) {
  int flags = ::fcntl(Fd(s), F_GETFL, 0);
  if (flags < 0) return errno;
  int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && ::fcntl(Fd(s), F_SETFL, wanted) < 0) return errno;
  return 0;
}

OsCode BeginConnect(Handle s, const Address& address, bool* pending) {
  OsCode code = SetBlocking(s, false);
  if (code != 0) return code;
  *pending = false;
  if (::connect(Fd(s), reinterpret_cast<const struct sockaddr*>(
                           address.sockaddr.data()),
                static_cast<socklen_t>(address.sockaddr.size())) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS) return errno;
  *pending = true;
  return 0;
}

OsCode AwaitFirst(const std::vector<Handle>& sockets, int timeout_ms,
                  size_t* ended, OsCode* outcome) {
  // A connect that has ended, well or not, makes its socket writable
  // (POLLOUT); a failed one may report POLLERR or POLLHUP alone.
  std::vector<struct pollfd> polled;
  polled.reserve(sockets.size());
  for (Handle s : sockets) polled.push_back({Fd(s), POLLOUT, 0});
  int ready;
  do {
    ready = ::poll(polled.data(), polled.size(), timeout_ms < 0 ? -1
                                                                : timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return errno;
  if (ready == 0) return ETIMEDOUT;
  for (size_t i = 0; i < polled.size(); ++i) {
    if (polled[i].revents == 0) continue;
    int result = 0;
    socklen_t result_len = sizeof(result);
    if (::getsockopt(polled[i].fd, SOL_SOCKET, SO_ERROR, &result,
                     &result_len) != 0) {
      result = errno;
    }
    *ended = i;
    *outcome = result;
    return 0;
  }
  return ETIMEDOUT;
}

OsCode ApplyReceiveTimeout(Handle s, uint32_t timeout_ms) {
  struct timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  return ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0
             ? 0
             : errno;
}

OsCode SendSome(Handle s, const char* data, size_t n, size_t* sent) {
  for (;;) {
    // MSG_NOSIGNAL: a connection the peer has reset is a failure, not
    // SIGPIPE.
    ssize_t done = ::send(Fd(s), data, n, MSG_NOSIGNAL);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;
    if (done == 0) return EPIPE;
    *sent = static_cast<size_t>(done);
    return 0;
  }
}

OsCode ReceiveSome(Handle s, char* buf, int n, int* got) {
  for (;;) {
    ssize_t done = ::recv(Fd(s), buf, static_cast<size_t>(n), 0);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;  // EAGAIN: the receive time-out
    *got = static_cast<int>(done);
    return 0;
  }
}

void Discard(Handle s) { ::close(Fd(s)); }

// A recv, poll or TLS read pending on the socket returns (the end of the
// stream, or POLLHUP) and later ones too; the fd stays for Discard.
void Shutdown(Handle s) { ::shutdown(Fd(s), SHUT_RDWR); }

Status OsFailure(OsCode code, const std::string& object) {
  return linux_os::OsError(code, object);
}

}  // namespace dial
}  // namespace vorn::platform
