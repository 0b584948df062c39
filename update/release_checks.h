// The checks a version file can announce for its package, on lines before
// its version entry:
//   SHA256=<64 lower-case hex digits>   the package's SHA-256
//   SIZE=<decimal digits>               the package's length in bytes
//   SIG=<128 lower-case hex digits>     ECDSA P-256 signature, r then s
//   DATE=<YYYY-MM-DDTHH:MM:SSZ>         when it was signed (UTC)
//   EXPIRES=<YYYY-MM-DDTHH:MM:SSZ>      after this it is not to be trusted
//   ROLLBACK=YES                        an older version on purpose
//   MIRROR=<http:// or https:// URL>    another place serving the very
//                                       same package bytes; any number
// A client that does not know them skips every line before "VER" that
// holds neither "VER" nor "URL", which these never do (a MIRROR URL could:
// scripts/sign-release.sh refuses one that does); a line after the URL
// entry would become part of the package URL, so they stand first.
#ifndef VORN_UPDATE_RELEASE_CHECKS_H_
#define VORN_UPDATE_RELEASE_CHECKS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

struct ReleaseChecks {
  std::string sha256;  // 32 bytes; empty when not announced
  bool has_size = false;
  uint64_t size = 0;
  std::string signature;  // 64 bytes; empty when not announced
  bool has_date = false;
  int64_t date = 0;  // seconds since 1970-01-01 00:00:00 UTC
  bool has_expires = false;
  int64_t expires = 0;
  bool rollback = false;
  // The MIRROR URLs as written, in file order, each text once. Empty
  // unless both SHA256 and SIZE are announced: only the digest and the
  // size prove that another server's bytes are the package's, so without
  // them mirrors are ignored (not an error) and this list may be handed
  // to the download as it is. ReadVersionFile also drops the package URL.
  std::vector<std::string> mirrors;
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
  kBadDate,       // not a UTC time written as YYYY-MM-DDTHH:MM:SSZ
  kBadExpires,    // the same for EXPIRES
  kBadRollback,   // anything but exactly YES
  kBadMirror,     // not an http:// or https:// URL (download/http_url.h)
                  // written from the '=' on, without a blank or a
                  // control byte
};

// Reads "YYYY-MM-DDTHH:MM:SSZ" (a real day of a year from 1970 on) as
// seconds since 1970-01-01 00:00:00 UTC. False for any other text.
bool ParseUtcTime(const std::string& text, int64_t* out);
// The same form for `seconds` (at least 0).
std::string FormatUtcTime(int64_t seconds);

// Whether `announced` is an older version than `installed`: both must be
// dot-separated decimal numbers ("2.0.10"), compared number by number, a
// missing number counting as 0. Versions of any other form are not
// ordered: false.
bool IsOlderVersion(const std::string& announced, const std::string& installed);

// Whether `line` (without its line end) is the entry `key` ("VER" or
// "URL"): the key at its start, after optional blanks and tabs. Only such
// lines are entries; "VER" or "URL" anywhere else in a line is text.
bool IsEntryLine(const std::string& line, const char* key);

// Reads the checks out of the version file's `lines` (without their line
// ends). A line counts as one of them when the name before its '=', blanks
// trimmed and read without case, is SHA256, SIZE, SIG, DATE, EXPIRES,
// ROLLBACK or MIRROR; it must then be written exactly as above. For SHA256,
// SIZE, DATE, EXPIRES and ROLLBACK the first line counts and later ones are
// ignored, as for VER; every MIRROR line is read (and each must be a URL);
// a second SIG line, or one at or after the version entry, is refused,
// since it would stand inside the signed text. MIRROR lines, like every
// line but SIG, are part of the signed text.
ReleaseChecksError ReadReleaseChecks(const std::vector<std::string>& lines,
                                     ReleaseChecks* out);
// The same for a text of lines each ended by CR LF (the last one may lack
// it).
ReleaseChecksError ReadReleaseChecks(const std::string& version_text,
                                     ReleaseChecks* out);

}  // namespace vorn

#endif  // VORN_UPDATE_RELEASE_CHECKS_H_
