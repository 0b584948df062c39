// The Winsock 2 calls under the shared socket (platform/dialer.h):
// getaddrinfo, non-blocking connects waited for with select, SO_RCVTIMEO,
// and the system's codes mapped to a Status.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialer.h"
#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <ws2tcpip.h>

namespace vorn::platform {

namespace win32 {
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

class Win32Network final : public Network {
 public:
  // An IPv4 socket made ahead tells the caller at once whether sockets
  // can be made at all; the first IPv4 address's connect uses it.
  std::unique_ptr<Socket> NewSocket() override {
    if (!StartWinsock()) return nullptr;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<dial::DialedSocket>(static_cast<dial::Handle>(s),
                                                AF_INET);
  }
};

}  // namespace

Network* DefaultNetwork() {
  static Win32Network network;
  return &network;
}

}  // namespace win32

namespace dial {
namespace {

SOCKET Raw(Handle s) { return static_cast<SOCKET>(s); }

}  // namespace

Lookup Resolve(const std::string& host, const std::string& service) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;  // IPv4 and IPv6, in the system's order
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  Lookup answer;
  int code = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (code != 0) {
    answer.os_code = code;
    answer.os_text = win32::SystemText(static_cast<DWORD>(code));
    return answer;
  }
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    Address address;
    address.family = ai->ai_family;
    address.type = ai->ai_socktype;
    address.protocol = ai->ai_protocol;
    address.sockaddr.assign(reinterpret_cast<const char*>(ai->ai_addr),
                            ai->ai_addrlen);
    answer.addresses.push_back(std::move(address));
  }
  freeaddrinfo(found);
  return answer;
}

OsCode Open(const Address& address, Handle* out) {
  SOCKET s = socket(address.family, address.type, address.protocol);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  *out = static_cast<Handle>(s);
  return 0;
}

OsCode SetBlocking(Handle s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ioctlsocket(Raw(s), FIONBIO, &non_blocking) == 0 ? 0
                                                          : WSAGetLastError();
}

OsCode BeginConnect(Handle s, const Address& address, bool* pending) {
  OsCode code = SetBlocking(s, false);
  if (code != 0) return code;
  *pending = false;
  if (connect(Raw(s), reinterpret_cast<const sockaddr*>(address.sockaddr.data()),
              static_cast<int>(address.sockaddr.size())) == 0) {
    return 0;
  }
  code = WSAGetLastError();
  if (win32::MapOsError(static_cast<DWORD>(code)) !=
      win32::OsError::kWouldBlock) {
    return code;
  }
  *pending = true;
  return 0;
}

OsCode AwaitFirst(const std::vector<Handle>& sockets, int timeout_ms,
                  size_t* ended, OsCode* outcome) {
  // select rather than WSAPoll, which does not report a refused connect on
  // some Windows versions. A set holds FD_SETSIZE sockets: any beyond are
  // looked at once an earlier one has ended.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  size_t watched = sockets.size() < FD_SETSIZE ? sockets.size() : FD_SETSIZE;
  for (size_t i = 0; i < watched; ++i) {
    FD_SET(Raw(sockets[i]), &writable);
    FD_SET(Raw(sockets[i]), &failed);
  }
  timeval limit;
  limit.tv_sec = timeout_ms < 0 ? 0 : timeout_ms / 1000;
  limit.tv_usec = timeout_ms < 0 ? 0 : (timeout_ms % 1000) * 1000;
  // Winsock reports a finished connect as writable, a refused one in the
  // exception set; the first argument is ignored.
  int ready = select(/*nfds=*/0, /*readfds=*/nullptr, &writable, &failed,
                     timeout_ms < 0 ? nullptr : &limit);
  if (ready == SOCKET_ERROR) return WSAGetLastError();
  if (ready == 0) return WSAETIMEDOUT;
  for (size_t i = 0; i < watched; ++i) {
    bool done = FD_ISSET(Raw(sockets[i]), &writable);
    if (!done && !FD_ISSET(Raw(sockets[i]), &failed)) continue;
    int error = 0;
    int size = sizeof(error);
    if (getsockopt(Raw(sockets[i]), SOL_SOCKET, SO_ERROR,
                   reinterpret_cast<char*>(&error), &size) != 0) {
      error = WSAGetLastError();
    }
    if (error == 0 && !done) error = WSAECONNREFUSED;
    *ended = i;
    *outcome = error;
    return 0;
  }
  return WSAETIMEDOUT;
}

OsCode ApplyReceiveTimeout(Handle s, uint32_t timeout_ms) {
  // SO_RCVTIMEO of 0 waits for ever on Winsock too.
  DWORD value = timeout_ms;
  return setsockopt(Raw(s), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&value), sizeof(value)) == 0
             ? 0
             : WSAGetLastError();
}

OsCode SendSome(Handle s, const char* data, size_t n, size_t* sent) {
  int want = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
  int done = send(Raw(s), data, want, /*flags=*/0);
  if (done == SOCKET_ERROR) return WSAGetLastError();
  if (done <= 0) return WSAECONNRESET;
  *sent = static_cast<size_t>(done);
  return 0;
}

OsCode ReceiveSome(Handle s, char* buf, int n, int* got) {
  int done = recv(Raw(s), buf, n, /*flags=*/0);
  // A receive time-out ends as SOCKET_ERROR (WSAETIMEDOUT) like any other
  // failure.
  if (done == SOCKET_ERROR) return WSAGetLastError();
  *got = done;
  return 0;
}

void Discard(Handle s) { closesocket(Raw(s)); }

// shutdown makes later calls fail, but leaves a recv or select already
// waiting where it is; cancelling the socket's I/O ends those (they fail
// with ERROR_OPERATION_ABORTED).
void Shutdown(Handle s) {
  shutdown(Raw(s), SD_BOTH);
  CancelIoEx(reinterpret_cast<HANDLE>(Raw(s)), nullptr);
}

Status OsFailure(OsCode code, const std::string& object) {
  return win32::OsStatus(static_cast<DWORD>(code), object);
}

}  // namespace dial
}  // namespace vorn::platform
