// TCP client sockets through Winsock 2.
#include "platform/sockets.h"

#include <memory>
#include <string>

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

// Owns a getaddrinfo result list.
class AddressList final {
 public:
  AddressList() = default;
  ~AddressList() {
    if (list_ != nullptr) freeaddrinfo(list_);
  }
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;

  bool Resolve(const std::string& host, uint16_t port) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    std::string service = std::to_string(port);
    return getaddrinfo(host.c_str(), service.c_str(), &hints, &list_) == 0 &&
           list_ != nullptr;
  }
  const addrinfo* first() const { return list_; }

 private:
  addrinfo* list_ = nullptr;
};

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
    if (socket_ == INVALID_SOCKET) return false;
    AddressList addresses;
    if (!addresses.Resolve(host, port)) return false;
    const addrinfo* address = addresses.first();

    // Connect without blocking so that the wait can be bounded, then go
    // back to blocking calls for the transfer.
    if (!SetBlocking(socket_, false)) return false;
    bool connected = false;
    if (connect(socket_, address->ai_addr,
                static_cast<int>(address->ai_addrlen)) == 0) {
      connected = true;
    } else if (MapOsError(WSAGetLastError()) == OsError::kWouldBlock) {
      connected = WaitConnected(timeout_ms);
    }
    if (!SetBlocking(socket_, true)) return false;
    return connected;
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
    if (socket_ == INVALID_SOCKET) return;
    DWORD value = timeout_ms;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<const char*>(&value), sizeof(value));
  }

  void Close() override {
    if (socket_ == INVALID_SOCKET) return;
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  // Waits for a connect in progress; true once it has succeeded.
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
    int ready =
        select(/*nfds=*/0, /*readfds=*/nullptr, &writable, &failed, &limit);
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
