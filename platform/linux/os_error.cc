// errno as a Status: one mapping for every call of the Linux backend.
#include <errno.h>

#include <cstring>
#include <string>

#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {

std::string OsErrorText(int code) {
  char buf[256];
  // The GNU strerror_r answers a pointer that may or may not be `buf`.
  return std::string(::strerror_r(code, buf, sizeof(buf)));
}

// The one place where errno becomes a Status, for files and sockets alike.
Status OsError(int code, const std::string& object) {
  ErrorKind kind = ErrorKind::kOther;
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      kind = ErrorKind::kNotFound;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      kind = ErrorKind::kAccessDenied;
      break;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      kind = ErrorKind::kDiskFull;
      break;
    case ETXTBSY:
    case EBUSY:
      kind = ErrorKind::kInUse;
      break;
    case ENAMETOOLONG:
      kind = ErrorKind::kPathTooLong;
      break;
    case ECONNREFUSED:
      kind = ErrorKind::kRefused;
      break;
    case ETIMEDOUT:
    case EAGAIN:  // a socket's receive or connect ran out of its time-out
    case EINPROGRESS:
      kind = ErrorKind::kTimedOut;
      break;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
      kind = ErrorKind::kClosed;
      break;
    default:
      break;
  }
  return Status::Error(kind, object, code, OsErrorText(code));
}

}  // namespace vorn::platform::linux_os
