// Status: what a failed operating-system call came to, carried up from the
// backend that saw it to the place where a person will read it. It holds
// the kind of failure (what callers decide on and what a log line names in
// words of its own), the object the call was about (the path of a file or
// directory, "host:port" of a connection), and the system's own error code
// and text, so a log line can say which file could not be written and why.
#ifndef VORN_PLATFORM_STATUS_H_
#define VORN_PLATFORM_STATUS_H_

#include <string>
#include <utility>

namespace vorn::platform {

enum class ErrorKind {
  kOk,
  kNotFound,      // no such file or path
  kAccessDenied,  // the system refused the access
  kDiskFull,      // no room left for the bytes
  kInUse,         // another program holds the file (a sharing violation)
  kPathTooLong,   // the path is longer than the system takes
  kHostNotFound,  // the host name has no address
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
  // A failure of `kind` about `object` (a path, "host:port"); `os_code` and
  // `os_text` are the system's own (0 and empty when the failure was not
  // the system's). The text is kept on one line.
  static Status Error(ErrorKind kind, std::string object, int os_code = 0,
                      std::string os_text = std::string()) {
    Status s;
    s.kind_ = kind;
    s.object_ = std::move(object);
    s.os_code_ = os_code;
    s.os_text_ = OneLine(std::move(os_text));
    return s;
  }

  bool ok() const { return kind_ == ErrorKind::kOk; }
  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  // The path or "host:port" the failed call was about; may be empty.
  const std::string& object() const { return object_; }
  const std::string& os_text() const { return os_text_; }

  // "object: os text (code)", leaving out what is empty; "" for success.
  std::string ToString() const {
    if (ok()) return std::string();
    std::string out = object_;
    if (!os_text_.empty()) out += (out.empty() ? "" : ": ") + os_text_;
    if (os_code_ != 0) {
      out += (out.empty() ? "(" : " (") + std::to_string(os_code_) + ")";
    }
    return out;
  }

 private:
  // System texts end in a line break or hold several lines (FormatMessage,
  // OpenSSL's queue); a log line must stay one line.
  static std::string OneLine(std::string text) {
    for (char& c : text) {
      if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
      text.pop_back();
    }
    return text;
  }

  ErrorKind kind_ = ErrorKind::kOk;
  int os_code_ = 0;
  std::string object_;
  std::string os_text_;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_STATUS_H_
