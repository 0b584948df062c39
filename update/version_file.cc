// The version file: one fetch attempt into the version text, and the cuts
// of the announced version and the package URL out of it.
#include "platform/text.h"
#include "update/messages.h"
#include "update/release_checks.h"
#include "update/updater.h"

namespace vorn {

namespace {

// The byte-order mark some editors put before the first line.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
// How far into a body a web page gives itself away: a captive portal's
// login page or a server's error page holds its "<html" or "<!DOCTYPE"
// near the top, and no version file holds either.
constexpr size_t kMarkupWindowBytes = 1024;

bool LooksLikeWebPage(const std::string& body) {
  std::string head = LowerAscii(body.substr(0, kMarkupWindowBytes));
  return head.find("<html") != std::string::npos ||
         head.find("<!doctype") != std::string::npos;
}

// The version text of `body`: every line without its line end and followed
// by CR LF. A line ends at CR LF, at LF or at a lone CR; a byte-order mark
// at the very start is no part of the first line. A last line without a
// line end counts when it is not empty, unless `complete_only` (a reading
// that broke off keeps only the lines it finished).
std::string VersionText(const std::string& body, bool complete_only) {
  std::string text;
  std::string line;
  size_t i = body.compare(0, 3, kUtf8Bom) == 0 ? 3 : 0;
  for (; i < body.size(); ++i) {
    char c = body[i];
    if (c != '\r' && c != '\n') {
      line.push_back(c);
      continue;
    }
    if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
    text += line;
    text += "\r\n";
    line.clear();
  }
  if (!line.empty() && !complete_only) text += line + "\r\n";
  return text;
}

// The first entry line for `key` in the version text: where its line
// starts and where its key does; false when there is none.
bool FindEntry(const std::string& text, const char* key, int* line_start,
               int* key_at) {
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find("\r\n", from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    if (IsEntryLine(line, key)) {
      *line_start = static_cast<int>(from);
      *key_at = static_cast<int>(from + line.find(key));
      return true;
    }
    from = end + 2;
  }
  *line_start = *key_at = -1;
  return false;
}

}  // namespace

bool Updater::FetchVersionFile() {
  platform::FetchResult result =
      env_->internet->Fetch(version_file_url_, ApplicationName());
  // Lines read before a failure stay in the text; the next attempt replaces
  // it. A web page is no version file, whatever it holds: its text stays
  // empty and so reads as malformed.
  version_text_ =
      LooksLikeWebPage(result.body)
          ? std::string()
          : VersionText(result.body,
                        result.status != platform::FetchStatus::kOk);
  switch (result.status) {
    case platform::FetchStatus::kOk:
      return true;
    case platform::FetchStatus::kNoFile:
      return false;
    case platform::FetchStatus::kTooLarge:
      // Not a version file; the attempt fails like a broken one.
      WriteLog(msg::kVersionFileTooLarge);
      return false;
    case platform::FetchStatus::kError:
      break;
  }
  std::string error = result.error;
  if (error.size() > platform::kMaxFetchErrorBytes) {
    error.resize(platform::kMaxFetchErrorBytes);
  }
  WriteLog(error.c_str());
  return false;
}

// V is the key of the first "VER" line, U that of the first "URL" line;
// the version runs from V + 4 to the CR LF that ends the line before U's,
// the package URL from U + 4 to the text's last CR LF.
std::string Updater::AnnouncedVersion() const {
  int v_line, v, u_line, u;
  FindEntry(version_text_, "VER", &v_line, &v);
  FindEntry(version_text_, "URL", &u_line, &u);
  return Mid(version_text_, v + 4, u_line - v - 6);
}

std::string Updater::PackageUrl() const {
  int u_line, u;
  if (!FindEntry(version_text_, "URL", &u_line, &u)) return std::string();
  int length = static_cast<int>(version_text_.size());
  std::string url = Mid(version_text_, u + 4, length - u - 6);
  // A file that merely ends with empty lines names the URL without them.
  while (url.size() >= 2 && url.compare(url.size() - 2, 2, "\r\n") == 0) {
    url.resize(url.size() - 2);
  }
  return url;
}

int Updater::CompareVersion() const {
  int line, key;
  if (!FindEntry(version_text_, "VER", &line, &key) ||
      !FindEntry(version_text_, "URL", &line, &key)) {
    return -1;
  }
  return AnnouncedVersion() == current_version_ ? 1 : 0;
}

}  // namespace vorn
