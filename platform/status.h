// Status: what a failed operating-system call came to, carried up from the
// backend that saw it to the place where a person will read it. It holds
// the kind of failure (what callers decide on), the system's own error code
// and text, and a short detail of the caller's choosing (a path, a host and
// port), so a log line can say which file could not be written and why.
#ifndef VORN_PLATFORM_STATUS_H_
#define VORN_PLATFORM_STATUS_H_

#include <string>
#include <utility>

namespace vorn::platform {

enum class ErrorKind {
  kOk,
  kNotFound,      // no such file, path or host
  kAccessDenied,  // the system refused the access
  kDiskFull,      // no room left for the bytes
  kTimedOut,      // no answer within the bound
  kRefused,       // nobody listens at the address
  kClosed,        // the peer ended the connection
  kTlsUntrusted,  // the certificate chain does not end in a trusted root
  kTlsWrongName,  // the certificate is for another name
  kTlsExpired,    // the certificate has expired or is not yet valid
  kTlsHandshake,  // no TLS session could be set up (protocol, cipher...)
  kOther,
};

class Status {
 public:
  // Success.
  Status() = default;
  // A failure of `kind`; `detail` names what was being done to what,
  // `os_code` and `os_text` are the system's own (0 and empty when the
  // failure was not the system's).
  static Status Error(ErrorKind kind, std::string detail, int os_code = 0,
                      std::string os_text = std::string()) {
    Status s;
    s.kind_ = kind;
    s.detail_ = std::move(detail);
    s.os_code_ = os_code;
    s.os_text_ = std::move(os_text);
    return s;
  }

  bool ok() const { return kind_ == ErrorKind::kOk; }
  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  const std::string& detail() const { return detail_; }
  const std::string& os_text() const { return os_text_; }

  // "detail: os text (code)", leaving out what is empty; "" for success.
  // One line: the backends hand over texts without a line end.
  std::string ToString() const {
    if (ok()) return std::string();
    std::string out = detail_;
    if (!os_text_.empty()) out += (out.empty() ? "" : ": ") + os_text_;
    if (os_code_ != 0) {
      out += (out.empty() ? "(" : " (") + std::to_string(os_code_) + ")";
    }
    return out;
  }

 private:
  ErrorKind kind_ = ErrorKind::kOk;
  int os_code_ = 0;
  std::string detail_;
  std::string os_text_;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_STATUS_H_
