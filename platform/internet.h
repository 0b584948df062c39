// Internet fetch: the version file, fetched with the system's own HTTP
// client (libcurl on Linux, WinINet on Windows).
#ifndef VORN_PLATFORM_INTERNET_H_
#define VORN_PLATFORM_INTERNET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/status.h"

namespace vorn::platform {

// A version file is a few lines: a body longer than this is not one, and
// reading stops there.
constexpr size_t kMaxVersionFileBytes = 1 << 20;

// The longest one attempt may take, from its start to the body's end.
constexpr uint32_t kFetchAttemptSeconds = 5 * 60;

enum class FetchStatus {
  kOk,        // opened and read to its end, whatever the HTTP status
  kNoFile,    // the client gave no file object back; nothing to report
  kError,     // connecting, opening or reading failed, or the attempt ran
              // out of time; `error` says why
  kTooLarge,  // the body is longer than kMaxVersionFileBytes; reading
              // stopped there
};

struct FetchResult {
  FetchStatus status = FetchStatus::kNoFile;
  // The body's bytes exactly as they arrived; on kError those that had
  // arrived before the failure, on kTooLarge the first
  // kMaxVersionFileBytes.
  std::string body;
  // On kError the kind of failure (a name not found, a refused or timed
  // out connection, which certificate check failed...), the version
  // file's host as its object and the client's own code and text; on
  // kTooLarge kOther with a text that says so. The text is at most
  // kMaxFetchErrorBytes.
  Status error;
};

// Longest error text handed back (a 1024-byte buffer with its NUL).
constexpr size_t kMaxFetchErrorBytes = 1023;

// The object of a failed fetch of `url`: its host as written, with the
// port when it names one ("host:port", "[::1]:8080"); the scheme, any
// credentials, the path and the query are left out.
inline std::string FetchObject(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  size_t at = authority.rfind('@');
  return at == std::string::npos ? authority : authority.substr(at + 1);
}

// The answer of an attempt that stopped before the body's end (kError or
// kTooLarge): the bytes so far, and why, the text cut to
// kMaxFetchErrorBytes.
inline FetchResult StoppedFetch(FetchStatus status, std::string body,
                                ErrorKind kind, std::string object,
                                int os_code, std::string text) {
  FetchResult result;
  result.status = status;
  result.body = std::move(body);
  if (text.size() > kMaxFetchErrorBytes) text.resize(kMaxFetchErrorBytes);
  result.error =
      Status::Error(kind, std::move(object), os_code, std::move(text));
  return result;
}

// Why a kTooLarge attempt stopped.
inline std::string TooLargeText() {
  return "the version file is longer than " +
         std::to_string(kMaxVersionFileBytes) + " bytes";
}

class InternetClient {
 public:
  virtual ~InternetClient() = default;
  // Fetches `url` bypassing every cache, following redirects, with
  // `user_agent` and the system's proxy settings. Every attempt is
  // bounded: connecting waits at most 30 seconds, a server that accepts
  // and then sends nothing for a minute ends it with kError, and so does
  // one still sending when kFetchAttemptSeconds have passed.
  virtual FetchResult Fetch(const std::string& url,
                            const std::string& user_agent) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_INTERNET_H_
