// Internet fetch: the version file, fetched with the system's own HTTP
// client (libcurl on Linux, WinINet on Windows).
#ifndef VORN_PLATFORM_INTERNET_H_
#define VORN_PLATFORM_INTERNET_H_

#include <string>

namespace vorn::platform {

enum class FetchStatus {
  kOk,      // opened and read to its end, whatever the HTTP status
  kNoFile,  // the client gave no file object back; nothing to report
  kError,   // connecting, opening or reading failed; see `error`
};

struct FetchResult {
  FetchStatus status = FetchStatus::kNoFile;
  // The body's bytes exactly as they arrived; on kError those that had
  // arrived before the failure.
  std::string body;
  // The system's descriptive error text on kError, at most 1023 bytes.
  std::string error;
};

// Longest error text handed back (a 1024-byte buffer with its NUL).
constexpr size_t kMaxFetchErrorBytes = 1023;

class InternetClient {
 public:
  virtual ~InternetClient() = default;
  // Fetches `url` bypassing every cache, following redirects, with
  // `user_agent` and the system's proxy settings. A server that accepts
  // and then says nothing ends the attempt with kError.
  virtual FetchResult Fetch(const std::string& url,
                            const std::string& user_agent) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_INTERNET_H_
