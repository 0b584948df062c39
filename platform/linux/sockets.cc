// Blocking TCP sockets on Linux, with a bounded name lookup, a bounded
// connect and a receive time-out.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/bounded_call.h"
#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

struct FreeAddresses {
  void operator()(struct addrinfo* list) const { ::freeaddrinfo(list); }
};
// A getaddrinfo result list, owned.
using Addresses = std::unique_ptr<struct addrinfo, FreeAddresses>;

Addresses LookUp(const std::string& host, const std::string& service) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    return nullptr;
  }
  return Addresses(found);
}

// The IPv4 addresses of `host`, null when there are none, looked up
// within `timeout_ms` (0: no bound).
Addresses Resolve(const std::string& host, uint16_t port, uint32_t timeout_ms) {
  return LookUpWithin(host, port, timeout_ms, LookUp);
}

class LinuxSocket final : public Socket {
 public:
  ~LinuxSocket() override { Close(); }

  bool Connect(const std::string& host, uint16_t port,
               uint32_t timeout_ms) override {
    Close();
    Addresses found = Resolve(host, port, timeout_ms);
    bool ok = false;
    for (struct addrinfo* ai = found.get(); ai != nullptr && !ok;
         ai = ai->ai_next) {
      int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC,
                        ai->ai_protocol);
      if (fd < 0) continue;
      if (ConnectWithTimeout(fd, ai->ai_addr, ai->ai_addrlen, timeout_ms)) {
        fd_ = fd;
        ok = true;
      } else {
        ::close(fd);
      }
    }
    if (ok) ApplyReceiveTimeout();
    return ok;
  }

  int Send(const std::string& data) override {
    if (fd_ < 0) return kSocketError;
    size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n =
          ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return kSocketError;
      sent += static_cast<size_t>(n);
    }
    return static_cast<int>(sent);
  }

  int Receive(char* buf, int n) override {
    if (fd_ < 0) return kSocketError;
    for (;;) {
      ssize_t got = ::recv(fd_, buf, static_cast<size_t>(n), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return kSocketError;  // time-outs included
      return static_cast<int>(got);
    }
  }

  void SetReceiveTimeout(uint32_t timeout_ms) override {
    receive_timeout_ms_ = timeout_ms;
    ApplyReceiveTimeout();
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  static bool ConnectWithTimeout(int fd, const struct sockaddr* addr,
                                 socklen_t len, uint32_t timeout_ms) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, addr, len);
    if (rc != 0 && errno != EINPROGRESS) return false;
    if (rc != 0) {
      struct pollfd p = {fd, POLLOUT, 0};
      int waited;
      do {
        waited =
            ::poll(&p, 1, timeout_ms == 0 ? -1 : static_cast<int>(timeout_ms));
      } while (waited < 0 && errno == EINTR);
      if (waited <= 0) return false;
      int err = 0;
      socklen_t err_len = sizeof(err);
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 ||
          err != 0) {
        return false;
      }
    }
    ::fcntl(fd, F_SETFL, flags);
    return true;
  }

  void ApplyReceiveTimeout() {
    if (fd_ < 0) return;
    struct timeval tv;
    tv.tv_sec = receive_timeout_ms_ / 1000;
    tv.tv_usec = static_cast<suseconds_t>(receive_timeout_ms_ % 1000) * 1000;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }

  int fd_ = -1;
  uint32_t receive_timeout_ms_ = 0;
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
