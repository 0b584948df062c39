// The version-file fetch through WinINet, which brings the system's proxy
// settings, redirects and cache control. WinINet's connect and receive
// time-outs bound each call; a deadline checked after every read bounds
// the whole attempt, and reading stops at kMaxVersionFileBytes.
#include "platform/internet.h"

#include <memory>
#include <string>

#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <wininet.h>

namespace vorn::platform::win32 {
namespace {

constexpr DWORD kConnectTimeoutMs = 30 * 1000;
constexpr DWORD kReceiveTimeoutMs = 60 * 1000;

// Owns a WinINet handle (session or request).
class InternetHandle final {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

// The descriptive text of a WinINet (or system) error code: WinINet's own
// message table first, then the system's, then the bare number.
std::string ErrorText(DWORD code) {
  char buf[kMaxFetchErrorBytes + 1];
  DWORD length = 0;
  HMODULE wininet = GetModuleHandleA("wininet.dll");
  if (wininet != nullptr) {
    length = FormatMessageA(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet,
        code, /*dwLanguageId=*/0, buf, sizeof(buf), /*Arguments=*/nullptr);
  }
  if (length == 0) {
    length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        /*lpSource=*/nullptr, code, /*dwLanguageId=*/0, buf, sizeof(buf),
        /*Arguments=*/nullptr);
  }
  std::string text =
      length > 0 ? std::string(buf, length) : "error " + std::to_string(code);
  if (text.size() > kMaxFetchErrorBytes) text.resize(kMaxFetchErrorBytes);
  // The message tables end every text with CR LF (some with a blank
  // before it); the log adds its own line end.
  size_t end = text.find_last_not_of("\r\n \t");
  text.resize(end == std::string::npos ? 0 : end + 1);
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

// What a WinINet (or system) error code came to. The certificate codes
// are WinINet's verdict on the server's chain.
ErrorKind KindOf(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return ErrorKind::kHostNotFound;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return ErrorKind::kRefused;
    case ERROR_INTERNET_TIMEOUT:
      return ErrorKind::kTimedOut;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return ErrorKind::kTlsExpired;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return ErrorKind::kTlsWrongName;
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return ErrorKind::kTlsUntrusted;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return ErrorKind::kTlsHandshake;
    default:
      return ErrorKind::kOther;
  }
}

// A failed attempt of `url` with WinINet's `code`.
FetchResult Failure(const std::string& url, std::string body, DWORD code) {
  return StoppedFetch(FetchStatus::kError, std::move(body), KindOf(code),
                      FetchObject(url), static_cast<int>(code),
                      ErrorText(code));
}

// The answer when the session or the URL could not be opened.
FetchResult OpenFailure(const std::string& url, DWORD code) {
  // A call that failed without saying why leaves nothing to report.
  if (MapOsError(code) == OsError::kNone) {
    FetchResult result;
    result.status = FetchStatus::kNoFile;
    return result;
  }
  return Failure(url, std::string(), code);
}

class Win32Internet final : public InternetClient {
 public:
  explicit Win32Internet(uint32_t attempt_ms) : attempt_ms_(attempt_ms) {}

  FetchResult Fetch(const std::string& url,
                    const std::string& user_agent) override {
    const ULONGLONG deadline = GetTickCount64() + attempt_ms_;
    InternetHandle session(InternetOpenA(
        user_agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
        /*lpszProxy=*/nullptr, /*lpszProxyBypass=*/nullptr, /*dwFlags=*/0));
    if (session.get() == nullptr) return OpenFailure(url, GetLastError());

    // Bounded in time: a server that accepts and then says nothing ends
    // the attempt too. A refused option leaves WinINet's own defaults.
    DWORD connect_timeout = kConnectTimeoutMs;
    DWORD receive_timeout = kReceiveTimeoutMs;
    InternetSetOptionA(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT,
                       &connect_timeout, sizeof(connect_timeout));
    InternetSetOptionA(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT,
                       &receive_timeout, sizeof(receive_timeout));

    InternetHandle request(
        InternetOpenUrlA(session.get(), url.c_str(), /*lpszHeaders=*/nullptr,
                         /*dwHeadersLength=*/0,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_ASCII,
                         /*dwContext=*/1));
    if (request.get() == nullptr) return OpenFailure(url, GetLastError());

    // Whatever the HTTP status, the body is what the caller gets. Each read
    // asks for no more than has arrived, so that it returns as soon as
    // something came (a read of a full buffer would wait for all of it).
    std::string body;
    char buf[4096];
    for (;;) {
      DWORD available = 0;
      DWORD got = 0;
      if (!InternetQueryDataAvailable(request.get(), &available,
                                      /*dwFlags=*/0, /*dwContext=*/0) ||
          !InternetReadFile(request.get(), buf,
                            available == 0 || available > sizeof(buf)
                                ? sizeof(buf)
                                : available,
                            &got)) {
        // A read failure is an error even when no code came with it.
        return Failure(url, std::move(body), GetLastError());
      }
      if (got == 0) break;
      size_t room = kMaxVersionFileBytes - body.size();
      if (got > room) {
        body.append(buf, room);
        return StoppedFetch(FetchStatus::kTooLarge, std::move(body),
                            ErrorKind::kOther, FetchObject(url), 0,
                            TooLargeText());
      }
      body.append(buf, got);
      if (GetTickCount64() > deadline) {
        return StoppedFetch(FetchStatus::kError, std::move(body),
                            ErrorKind::kTimedOut, FetchObject(url), 0,
                            "the version file did not arrive within " +
                                std::to_string(attempt_ms_) + " ms");
      }
    }
    FetchResult result;
    result.status = FetchStatus::kOk;
    result.body = std::move(body);
    return result;
  }

 private:
  uint32_t attempt_ms_;
};

}  // namespace

InternetClient* DefaultInternet() {
  static Win32Internet internet(kFetchAttemptSeconds * 1000);
  return &internet;
}

std::unique_ptr<InternetClient> NewInternet(uint32_t attempt_ms) {
  return std::make_unique<Win32Internet>(attempt_ms);
}

}  // namespace vorn::platform::win32
