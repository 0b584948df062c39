// The checks a version file can announce for its package, on lines before
// its version entry:
//   SHA256=<64 lower-case hex digits>   the package's SHA-256
//   SIZE=<decimal digits>               the package's length in bytes
//   SIG=<128 lower-case hex digits>     ECDSA P-256 signature, r then s
// A client that does not know them skips every line before "VER" that
// holds neither "VER" nor "URL", which these never do; a line after the
// URL entry would become part of the package URL, so they stand first.
#ifndef VORN_UPDATE_RELEASE_CHECKS_H_
#define VORN_UPDATE_RELEASE_CHECKS_H_

#include <cstdint>
#include <string>

namespace vorn {

struct ReleaseChecks {
  std::string sha256;     // 32 bytes; empty when not announced
  bool has_size = false;
  uint64_t size = 0;
  std::string signature;  // 64 bytes; empty when not announced
  // What the signature covers: every line of the version file but the SIG
  // line, each without its line end and followed by LF.
  std::string signed_text;
};

enum class ReleaseChecksError {
  kNone,
  kBadSha256,     // not exactly 64 lower-case hex digits
  kBadSize,       // not plain decimal digits, or more than 64 bits
  kBadSignature,  // not 128 lower-case hex digits, or not the one SIG
                  // line before the version entry
};

// Whether `line` (without its line end) is the entry `key` ("VER" or
// "URL"): the key at its start, after optional blanks and tabs. Only such
// lines are entries; "VER" or "URL" anywhere else in a line is text.
bool IsEntryLine(const std::string& line, const char* key);

// Reads the checks out of `version_text` (lines ending in CR LF). A line
// counts as one of them when the name before its '=', blanks trimmed and
// read without case, is SHA256, SIZE or SIG; it must then be written
// exactly as above. For SHA256 and SIZE the first line counts and later
// ones are ignored, as for VER; a second SIG line, or one at or after the
// version entry, is refused, since it would stand inside the signed text.
ReleaseChecksError ReadReleaseChecks(const std::string& version_text,
                                     ReleaseChecks* out);

}  // namespace vorn

#endif  // VORN_UPDATE_RELEASE_CHECKS_H_
