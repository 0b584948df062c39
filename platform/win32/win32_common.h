// Shared pieces of the Windows backend: the one place where system error
// codes are classified, the text conversion to UTF-16, the handle owners, and the accessors through which
// env.cc reaches each service family's single instance.
#ifndef VORN_PLATFORM_WIN32_WIN32_COMMON_H_
#define VORN_PLATFORM_WIN32_WIN32_COMMON_H_

#include <windows.h>
#include <winsock2.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/internet.h"
#include "platform/process.h"
#include "platform/proxy.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "platform/window_system.h"

namespace vorn::platform::win32 {

// What a failed call's code means to this backend. Codes from
// GetLastError and WSAGetLastError share one number space.
enum class OsError {
  kNone,
  kNotFound,          // no such file or path
  kHostNotFound,      // the host name has no address
  kAlreadyExists,     // the named object or file was there before
  kSharingViolation,  // another opener holds the file without sharing
                      // (or has it mapped, or locked a range of it)
  kPathTooLong,       // a file name or path longer than the system takes
  kAccessDenied,
  kDiskFull,
  kWouldBlock,  // a non-blocking socket call is still in progress
  kTimedOut,
  kRefused,  // nobody listens at the address
  kClosed,   // the peer reset or ended the connection
  kOther,
};

// Classifies `code`. The single mapping from system codes for the backend.
OsError MapOsError(DWORD code);

// The system's text for `code` (GetLastError, WSAGetLastError or an
// SSPI / certificate HRESULT) without its line end; "error N" when the
// system has none.
std::string SystemText(DWORD code);

// A Status for the failed call's `code`: its kind (through MapOsError),
// the code and the system's text, and `object` (a path, host:port).
Status OsStatus(DWORD code, std::string object);

// The name the W file calls take for the ANSI `path`, whatever its length:
// made absolute, with '\' separators and no "." or ".." left, in the
// "\\?\" form (a drive path "\\?\C:\...", a share "\\?\UNC\srv\...").
// False when the path cannot be converted or is too long even so.
bool LongPath(const std::string& path, std::wstring* out);

// `text` in UTF-16, read in `code_page` (CP_ACP for paths and the user's
// settings, CP_UTF8 for host names); empty when it is empty or not valid
// in that code page.
std::wstring Widen(const std::string& text, UINT code_page);

// Owns a kernel handle (file, mutex) and closes it once.
class UniqueHandle final {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  bool valid() const {
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
  }
  HANDLE get() const { return handle_; }
  // Closes the handle now; false when CloseHandle reported a failure.
  bool Reset() {
    if (!valid()) return true;
    HANDLE handle = handle_;
    handle_ = nullptr;
    return CloseHandle(handle) != FALSE;
  }

 private:
  HANDLE handle_ = nullptr;
};

// What an open handle is: kRegular for a file on disk, kOther for a
// directory, a pipe, a device.
FileKind KindOfHandle(HANDLE handle);
// What `path` names, links followed (see FileSystem::KindOf).
FileKind KindOfWide(const std::wstring& path);

// The single instance of each service family (see env.cc).
FileSystem* DefaultFileSystem();
Threads* DefaultThreads();
Clock* DefaultClock();
Network* DefaultNetwork();
InternetClient* DefaultInternet();
WindowSystem* DefaultWindowSystem();
Desktop* DefaultDesktop();
Process* DefaultProcess();
Crypto* DefaultCrypto();
ProxyResolver* DefaultProxies();

// The proxy list and bypass list the automatic configuration (detection or
// script, as the user's settings ask) gives for http://host:port/ (for
// https://host:port/ when `secure`), waiting at most `timeout_ms`; false
// when it is off or gives no proxy in time.
bool AutomaticProxyFor(const std::string& host, uint16_t port, bool secure,
                       uint32_t timeout_ms, std::string* proxy_list,
                       std::string* bypass_list);

// A version-file client whose attempts end after `attempt_ms` in all
// (DefaultInternet's after kFetchAttemptSeconds), for tests of that bound.
std::unique_ptr<InternetClient> NewInternet(uint32_t attempt_ms);

}  // namespace vorn::platform::win32

#endif  // VORN_PLATFORM_WIN32_WIN32_COMMON_H_
