// The Windows environment: every family's real service, plus the error
// classification the backend shares.
#include "platform/env.h"

#include "platform/win32/win32_common.h"

namespace vorn::platform {

const Env& Env::Default() {
  static const Env env = [] {
    Env e;
    e.files = win32::DefaultFileSystem();
    e.threads = win32::DefaultThreads();
    e.clock = win32::DefaultClock();
    e.network = win32::DefaultNetwork();
    e.internet = win32::DefaultInternet();
    e.windows = win32::DefaultWindowSystem();
    e.desktop = win32::DefaultDesktop();
    e.process = win32::DefaultProcess();
    e.crypto = win32::DefaultCrypto();
    e.proxies = win32::DefaultProxies();
    return e;
  }();
  return env;
}

namespace win32 {

OsError MapOsError(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return OsError::kNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
      return OsError::kNotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return OsError::kAlreadyExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OsError::kSharingViolation;
    case ERROR_ACCESS_DENIED:
    case WSAEACCES:
      return OsError::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return OsError::kDiskFull;
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEALREADY:
      return OsError::kWouldBlock;
    case WAIT_TIMEOUT:
    case WSAETIMEDOUT:
      return OsError::kTimedOut;
    case WSAECONNREFUSED:
      return OsError::kRefused;
    default:
      return OsError::kOther;
  }
}

}  // namespace win32
}  // namespace vorn::platform
