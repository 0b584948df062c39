#include "update/release_checks.h"

#include <cstring>
#include <vector>

#include "platform/crypto.h"
#include "platform/text.h"

namespace vorn {

namespace {

enum class CheckName { kNone, kSha256, kSize, kSignature };

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
  return CheckName::kNone;
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

}  // namespace

bool IsEntryLine(const std::string& line, const char* key) {
  size_t start = line.find_first_not_of(" \t");
  return start != std::string::npos &&
         line.compare(start, std::strlen(key), key) == 0;
}

ReleaseChecksError ReadReleaseChecks(const std::string& version_text,
                                     ReleaseChecks* out) {
  ReleaseChecks checks;
  bool in_head = true;  // before the first "VER" or "URL" entry line
  bool have_signature_line = false;
  for (const std::string& line : SplitLines(version_text)) {
    if (IsEntryLine(line, "VER") || IsEntryLine(line, "URL")) in_head = false;
    std::string name;
    std::string value;
    CheckName check = NameOf(line, &name, &value);
    static const char* const kExactNames[] = {"", "SHA256", "SIZE", "SIG"};
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
  *out = checks;
  return ReleaseChecksError::kNone;
}

}  // namespace vorn
