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
      return OsError::kNotFound;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
      return OsError::kHostNotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return OsError::kAlreadyExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return OsError::kSharingViolation;
    case ERROR_FILENAME_EXCED_RANGE:
      return OsError::kPathTooLong;
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
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return OsError::kClosed;
    default:
      return OsError::kOther;
  }
}

std::string SystemText(DWORD code) {
  char buf[512];
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      /*lpSource=*/nullptr, code, /*dwLanguageId=*/0, buf, sizeof(buf),
      /*Arguments=*/nullptr);
  std::string text(buf, length);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

Status OsStatus(DWORD code, std::string object) {
  ErrorKind kind = ErrorKind::kOther;
  switch (MapOsError(code)) {
    case OsError::kNotFound:
      kind = ErrorKind::kNotFound;
      break;
    case OsError::kHostNotFound:
      kind = ErrorKind::kHostNotFound;
      break;
    case OsError::kAccessDenied:
      kind = ErrorKind::kAccessDenied;
      break;
    case OsError::kDiskFull:
      kind = ErrorKind::kDiskFull;
      break;
    case OsError::kSharingViolation:
      kind = ErrorKind::kInUse;
      break;
    case OsError::kPathTooLong:
      kind = ErrorKind::kPathTooLong;
      break;
    case OsError::kWouldBlock:
    case OsError::kTimedOut:
      kind = ErrorKind::kTimedOut;
      break;
    case OsError::kRefused:
      kind = ErrorKind::kRefused;
      break;
    case OsError::kClosed:
      kind = ErrorKind::kClosed;
      break;
    default:
      break;
  }
  return Status::Error(kind, std::move(object), static_cast<int>(code),
                       SystemText(code));
}

}  // namespace win32
}  // namespace vorn::platform
