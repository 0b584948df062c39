// Internet fetch: the version file, fetched with the system's own HTTP
// client (libcurl on Linux, WinINet on Windows).
#ifndef VORN_PLATFORM_INTERNET_H_
#define VORN_PLATFORM_INTERNET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

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
              // out of time; see `error`
  kTooLarge,  // the body is longer than kMaxVersionFileBytes; reading
              // stopped there
};

struct FetchResult {
  FetchStatus status = FetchStatus::kNoFile;
  // The body's bytes exactly as they arrived; on kError those that had
  // arrived before the failure, on kTooLarge the first
  // kMaxVersionFileBytes.
  std::string body;
  // On kError the system's descriptive error text, on kTooLarge a text
  // that says so; at most 1023 bytes.
  std::string error;
};

// Longest error text handed back (a 1024-byte buffer with its NUL).
constexpr size_t kMaxFetchErrorBytes = 1023;

// The answer of an attempt that stopped before the body's end (kError or
// kTooLarge): the bytes so far, and why, cut to kMaxFetchErrorBytes.
inline FetchResult StoppedFetch(FetchStatus status, std::string body,
                                std::string error) {
  FetchResult result;
  result.status = status;
  result.body = std::move(body);
  result.error = std::move(error);
  if (result.error.size() > kMaxFetchErrorBytes) {
    result.error.resize(kMaxFetchErrorBytes);
  }
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
