// TCP client sockets through Winsock 2, with a bounded name lookup, a
// bounded connect and a receive time-out.
#include "platform/sockets.h"

#include <memory>
#include <string>

#include "platform/bounded_call.h"
#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <ws2tcpip.h>

namespace vorn::platform::win32 {
namespace {

// Starts Winsock once per process, whichever thread asks first; it stays
// started until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

struct FreeAddresses {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
// A getaddrinfo result list, owned.
using Addresses = std::unique_ptr<addrinfo, FreeAddresses>;

Addresses LookUp(const std::string& host, const std::string& service) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    return nullptr;
  }
  return Addresses(found);
}

// The IPv4 addresses of `host`, null when there are none, looked up
// within `timeout_ms` (0: no bound).
Addresses Resolve(const std::string& host, uint16_t port, uint32_t timeout_ms) {
  return LookUpWithin(host, port, timeout_ms, LookUp);
}

bool SetBlocking(SOCKET s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

class Win32Socket final : public Socket {
 public:
  explicit Win32Socket(SOCKET s) : socket_(s) {}
  ~Win32Socket() override { Close(); }
  Win32Socket(const Win32Socket&) = delete;
  Win32Socket& operator=(const Win32Socket&) = delete;

  bool Connect(const std::string& host, uint16_t port,
               uint32_t timeout_ms) override {
    if (connected_) Close();
    Addresses found = Resolve(host, port, timeout_ms);
    // Each address in turn. A socket whose connect failed is not used
    // again: every further address gets a new one.
    for (const addrinfo* ai = found.get(); ai != nullptr; ai = ai->ai_next) {
      if (socket_ == INVALID_SOCKET) {
        socket_ = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (socket_ == INVALID_SOCKET) continue;
      }
      if (ConnectOne(ai, timeout_ms)) {
        connected_ = true;
        ApplyReceiveTimeout();
        return true;
      }
      Close();
    }
    return false;
  }

  int Send(const std::string& data) override {
    if (socket_ == INVALID_SOCKET) return kSocketError;
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
      int want = left > 0x40000000 ? 0x40000000 : static_cast<int>(left);
      int sent = send(socket_, p, want, /*flags=*/0);
      if (sent == SOCKET_ERROR || sent <= 0) return kSocketError;
      p += sent;
      left -= static_cast<size_t>(sent);
    }
    return static_cast<int>(data.size());
  }

  int Receive(char* buf, int n) override {
    if (socket_ == INVALID_SOCKET || n < 0) return kSocketError;
    int got = recv(socket_, buf, n, /*flags=*/0);
    // A receive time-out ends as SOCKET_ERROR (WSAETIMEDOUT) like any
    // other failure.
    if (got == SOCKET_ERROR) return kSocketError;
    return got;
  }

  void SetReceiveTimeout(uint32_t timeout_ms) override {
    receive_timeout_ms_ = timeout_ms;
    ApplyReceiveTimeout();
  }

  void Close() override {
    connected_ = false;
    if (socket_ == INVALID_SOCKET) return;
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  // Connects to one address without blocking, so that the wait can be
  // bounded, then goes back to blocking calls for the transfer.
  bool ConnectOne(const addrinfo* address, uint32_t timeout_ms) {
    if (!SetBlocking(socket_, false)) return false;
    bool connected = false;
    if (connect(socket_, address->ai_addr,
                static_cast<int>(address->ai_addrlen)) == 0) {
      connected = true;
    } else if (MapOsError(WSAGetLastError()) == OsError::kWouldBlock) {
      connected = WaitConnected(timeout_ms);
    }
    return SetBlocking(socket_, true) && connected;
  }

  // SO_RCVTIMEO of 0 waits for ever on Winsock too.
  void ApplyReceiveTimeout() {
    if (socket_ == INVALID_SOCKET) return;
    DWORD value = receive_timeout_ms_;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<const char*>(&value), sizeof(value));
  }

  // Waits for a connect in progress (0: for as long as it takes); true
  // once it has succeeded.
  bool WaitConnected(uint32_t timeout_ms) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket_, &writable);
    FD_SET(socket_, &failed);
    timeval limit;
    limit.tv_sec = static_cast<long>(timeout_ms / 1000);
    limit.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
    // Winsock reports a finished connect as writable, a refused one in the
    // exception set; the first argument is ignored.
    int ready = select(/*nfds=*/0, /*readfds=*/nullptr, &writable, &failed,
                       timeout_ms == 0 ? nullptr : &limit);
    if (ready <= 0 || FD_ISSET(socket_, &failed) ||
        !FD_ISSET(socket_, &writable)) {
      return false;
    }
    int error = 0;
    int size = sizeof(error);
    if (getsockopt(socket_, SOL_SOCKET, SO_ERROR,
                   reinterpret_cast<char*>(&error), &size) != 0) {
      return false;
    }
    return error == 0;
  }

  SOCKET socket_;
  bool connected_ = false;
  uint32_t receive_timeout_ms_ = 0;
};

class Win32Network final : public Network {
 public:
  std::unique_ptr<Socket> NewSocket() override {
    if (!StartWinsock()) return nullptr;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<Win32Socket>(s);
  }
};

}  // namespace

Network* DefaultNetwork() {
  static Win32Network network;
  return &network;
}

}  // namespace vorn::platform::win32
