#include "update/release_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "download/http_url.h"
#include "download/response_header.h"
#include "platform/crypto.h"
#include "platform/text.h"

namespace vorn {

namespace {

enum class CheckName {
  kNone,
  kSha256,
  kSize,
  kSignature,
  kDate,
  kExpires,
  kRollback,
  kMirror
};

// Which check a line names, however loosely it is written.
CheckName NameOf(const std::string& line, std::string* exact_name,
                 std::string* value) {
  size_t equals = line.find('=');
  if (equals == std::string::npos) return CheckName::kNone;
  *exact_name = line.substr(0, equals);
  *value = line.substr(equals + 1);
  std::string loose = Trim(*exact_name);
  for (char& c : loose) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (loose == "SHA256") return CheckName::kSha256;
  if (loose == "SIZE") return CheckName::kSize;
  if (loose == "SIG") return CheckName::kSignature;
  if (loose == "DATE") return CheckName::kDate;
  if (loose == "EXPIRES") return CheckName::kExpires;
  if (loose == "ROLLBACK") return CheckName::kRollback;
  if (loose == "MIRROR") return CheckName::kMirror;
  return CheckName::kNone;
}

// Whether a MIRROR value is a URL the downloader can use as it stands. The
// parser skips blanks before a URL, but a check line is exact: no blank or
// control byte anywhere in it.
bool IsMirrorUrl(const std::string& value) {
  HttpUrl url;
  return IsRequestSafe(value) && HttpUrl::Parse(value, &url) == UrlError::kNone;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (;;) {
    size_t end = text.find("\r\n", from);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(from, end - from));
    from = end + 2;
  }
  if (from < text.size()) lines.push_back(text.substr(from));
  return lines;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian
// calendar (month 1-12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year =
      (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// Reads `count` decimal digits at `text[from]`.
bool Digits(const std::string& text, size_t from, size_t count, int* out) {
  int value = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *out = value;
  return true;
}

// The numbers of a dotted version, leading zeros dropped; false when it
// is not digits and single dots only.
bool DottedNumbers(const std::string& version, std::vector<std::string>* out) {
  out->clear();
  std::string number;
  for (size_t i = 0; i <= version.size(); ++i) {
    if (i == version.size() || version[i] == '.') {
      if (number.empty()) return false;
      size_t first = number.find_first_not_of('0');
      out->push_back(first == std::string::npos ? "" : number.substr(first));
      number.clear();
    } else if (version[i] >= '0' && version[i] <= '9') {
      number.push_back(version[i]);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseUtcTime(const std::string& text, int64_t* out) {
  int year, month, day, hour, minute, second;
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' ||
      text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z' || !Digits(text, 0, 4, &year) ||
      !Digits(text, 5, 2, &month) || !Digits(text, 8, 2, &day) ||
      !Digits(text, 11, 2, &hour) || !Digits(text, 14, 2, &minute) ||
      !Digits(text, 17, 2, &second)) {
    return false;
  }
  static const int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > kDaysIn[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  *out = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
         second;
  return true;
}

std::string FormatUtcTime(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  // The inverse of DaysFromCivil.
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 +
                               day_of_era / 36524 - day_of_era / 146096) /
                              365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char buf[128];
  std::snprintf(buf, sizeof(buf), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day),
                static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return buf;
}

bool IsOlderVersion(const std::string& announced,
                    const std::string& installed) {
  std::vector<std::string> a, b;
  if (!DottedNumbers(announced, &a) || !DottedNumbers(installed, &b)) {
    return false;
  }
  for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
    const std::string x = i < a.size() ? a[i] : "";
    const std::string y = i < b.size() ? b[i] : "";
    if (x.size() != y.size()) return x.size() < y.size();
    if (x != y) return x < y;
  }
  return false;
}

bool IsEntryLine(const std::string& line, const char* key) {
  size_t start = line.find_first_not_of(" \t");
  return start != std::string::npos &&
         line.compare(start, std::strlen(key), key) == 0;
}

ReleaseChecksError ReadReleaseChecks(const std::string& version_text,
                                     ReleaseChecks* out) {
  return ReadReleaseChecks(SplitLines(version_text), out);
}

ReleaseChecksError ReadReleaseChecks(const std::vector<std::string>& lines,
                                     ReleaseChecks* out) {
  ReleaseChecks checks;
  bool in_head = true;  // before the first "VER" or "URL" entry line
  bool have_signature_line = false;
  bool seen_rollback = false;
  for (const std::string& line : lines) {
    if (IsEntryLine(line, "VER") || IsEntryLine(line, "URL")) in_head = false;
    std::string name;
    std::string value;
    CheckName check = NameOf(line, &name, &value);
    static const char* const kExactNames[] = {
        "", "SHA256", "SIZE", "SIG", "DATE", "EXPIRES", "ROLLBACK", "MIRROR"};
    bool exact = in_head && name == kExactNames[static_cast<int>(check)];
    switch (check) {
      case CheckName::kNone:
        break;
      case CheckName::kSha256:
        if (!in_head || !checks.sha256.empty()) break;
        if (!exact ||
            !HexDecodeLower(value, platform::kSha256Bytes, &checks.sha256)) {
          return ReleaseChecksError::kBadSha256;
        }
        break;
      case CheckName::kSize:
        if (!in_head || checks.has_size) break;
        if (!exact || !ParseDigits(value, UINT64_MAX, &checks.size)) {
          return ReleaseChecksError::kBadSize;
        }
        checks.has_size = true;
        break;
      case CheckName::kDate:
        if (!in_head || checks.has_date) break;
        if (!exact || !ParseUtcTime(value, &checks.date)) {
          return ReleaseChecksError::kBadDate;
        }
        checks.has_date = true;
        break;
      case CheckName::kExpires:
        if (!in_head || checks.has_expires) break;
        if (!exact || !ParseUtcTime(value, &checks.expires)) {
          return ReleaseChecksError::kBadExpires;
        }
        checks.has_expires = true;
        break;
      case CheckName::kRollback:
        if (!in_head || seen_rollback) break;
        if (!exact || value != "YES") return ReleaseChecksError::kBadRollback;
        seen_rollback = checks.rollback = true;
        break;
      case CheckName::kMirror:
        if (!in_head) break;
        if (!exact || !IsMirrorUrl(value)) {
          return ReleaseChecksError::kBadMirror;
        }
        if (std::find(checks.mirrors.begin(), checks.mirrors.end(), value) ==
            checks.mirrors.end()) {
          checks.mirrors.push_back(value);
        }
        break;
      case CheckName::kSignature:
        if (!exact || have_signature_line ||
            !HexDecodeLower(value, platform::kP256SignatureBytes,
                            &checks.signature)) {
          return ReleaseChecksError::kBadSignature;
        }
        have_signature_line = true;
        continue;  // the one line the signature does not cover
    }
    checks.signed_text += line;
    checks.signed_text += '\n';
  }
  // Another server's bytes are the package's only when the digest and the
  // size can prove it; the check lines may stand in any order, so this is
  // known only now.
  if (checks.sha256.empty() || !checks.has_size) checks.mirrors.clear();
  *out = checks;
  return ReleaseChecksError::kNone;
}

}  // namespace vorn
