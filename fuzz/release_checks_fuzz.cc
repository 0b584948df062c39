// The release-check lines of a version text, the UTC times and the version
// order on arbitrary bytes: no crash, and what comes back holds together.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/http_url.h"
#include "platform/crypto.h"
#include "update/release_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vorn::ReleaseChecks checks;
  if (vorn::ReadReleaseChecks(text, &checks) ==
      vorn::ReleaseChecksError::kNone) {
    if (!checks.sha256.empty() &&
        checks.sha256.size() != vorn::platform::kSha256Bytes) {
      __builtin_trap();
    }
    if (!checks.signature.empty() &&
        checks.signature.size() != vorn::platform::kP256SignatureBytes) {
      __builtin_trap();
    }
    // Every line but the SIG one is signed, each followed by one LF.
    size_t lines = 0;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos;
         at = text.find("\r\n", from)) {
      ++lines;
      from = at + 2;
    }
    // (A version text holds LF only in its line ends; a lone LF inside a
    // line would count twice below.)
    const size_t line_ends = lines;
    size_t lfs = 0;
    for (char c : text) lfs += c == '\n';
    if (from < text.size()) ++lines;  // a last line without its CR LF
    size_t signed_lines = 0;
    for (char c : checks.signed_text) signed_lines += c == '\n';
    if (lfs == line_ends &&
        signed_lines + (checks.signature.empty() ? 0 : 1) != lines) {
      __builtin_trap();
    }
    if (checks.has_date && vorn::FormatUtcTime(checks.date).size() != 20) {
      __builtin_trap();
    }
    // Mirrors only with the digest and the size, each a URL, each once.
    if (!checks.mirrors.empty() &&
        (checks.sha256.empty() || !checks.has_size)) {
      __builtin_trap();
    }
    for (size_t i = 0; i < checks.mirrors.size(); ++i) {
      vorn::HttpUrl url;
      if (vorn::HttpUrl::Parse(checks.mirrors[i], &url) !=
              vorn::UrlError::kNone ||
          std::count(checks.mirrors.begin(), checks.mirrors.end(),
                     checks.mirrors[i]) != 1) {
        __builtin_trap();
      }
    }
  }

  // A time that reads gives back its own text.
  int64_t seconds = 0;
  if (vorn::ParseUtcTime(text, &seconds) &&
      vorn::FormatUtcTime(seconds) != text) {
    __builtin_trap();
  }

  // "Older" is a strict order: never both ways, never a version itself.
  const size_t cut = text.find('\n');
  const std::string a = text.substr(0, cut);
  const std::string b = cut == std::string::npos ? a : text.substr(cut + 1);
  if (vorn::IsOlderVersion(a, a)) __builtin_trap();
  if (vorn::IsOlderVersion(a, b) && vorn::IsOlderVersion(b, a)) {
    __builtin_trap();
  }
  return 0;
}
