// The version file: one fetch attempt, and the one reading of its body into
// a VersionFile.
#include "update/version_file.h"

#include <algorithm>

#include "platform/text.h"
#include "update/messages.h"
#include "update/outcome_lines.h"
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

std::vector<std::string> SplitBody(const std::string& body,
                                   bool complete_only) {
  std::vector<std::string> lines;
  std::string line;
  size_t i = body.compare(0, 3, kUtf8Bom) == 0 ? 3 : 0;
  for (; i < body.size(); ++i) {
    char c = body[i];
    if (c != '\r' && c != '\n') {
      line.push_back(c);
      continue;
    }
    if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty() && !complete_only) lines.push_back(line);
  return lines;
}

// The line that tells what a failed fetch attempt came to.
const char* FetchFailureLine(platform::ErrorKind kind) {
  switch (kind) {
    case platform::ErrorKind::kTlsUntrusted:
      return msg::kVersionTlsUntrusted;
    case platform::ErrorKind::kTlsWrongName:
      return msg::kVersionTlsWrongName;
    case platform::ErrorKind::kTlsExpired:
      return msg::kVersionTlsExpired;
    case platform::ErrorKind::kTlsHandshake:
      return msg::kVersionTlsHandshake;
    default:
      return msg::kVersionFetchFailed;
  }
}

}  // namespace

// The cuts are those of the text the lines make when each is followed by
// CR LF: with V the key of the first "VER" entry line and U that of the
// first "URL" one, the version runs from V + 4 to the CR LF that ends the
// line before U's (so it may span lines, or be empty when the URL entry
// comes first), the package URL from U + 4 to the text's last CR LF, any
// empty lines at the end left out.
VersionFile ReadVersionFile(const std::string& body, bool complete_only) {
  VersionFile file;
  if (!LooksLikeWebPage(body)) file.lines = SplitBody(body, complete_only);
  std::string text;
  int version_key = -1;
  int url_line = -1;
  int url_key = -1;
  for (const std::string& line : file.lines) {
    const int start = static_cast<int>(text.size());
    if (version_key < 0 && IsEntryLine(line, "VER")) {
      version_key = start + static_cast<int>(line.find("VER"));
    }
    if (url_key < 0 && IsEntryLine(line, "URL")) {
      url_line = start;
      url_key = start + static_cast<int>(line.find("URL"));
    }
    text += line;
    text += "\r\n";
  }
  file.has_entries = version_key >= 0 && url_key >= 0;
  if (file.has_entries) {
    file.version = Mid(text, version_key + 4, url_line - version_key - 6);
  }
  if (url_key >= 0) {
    const int length = static_cast<int>(text.size());
    file.url = Mid(text, url_key + 4, length - url_key - 6);
    while (file.url.size() >= 2 &&
           file.url.compare(file.url.size() - 2, 2, "\r\n") == 0) {
      file.url.resize(file.url.size() - 2);
    }
  }
  file.checks_error = ReadReleaseChecks(file.lines, &file.checks);
  // A mirror that is the package URL itself names no other place.
  std::vector<std::string>& mirrors = file.checks.mirrors;
  mirrors.erase(std::remove(mirrors.begin(), mirrors.end(), file.url),
                mirrors.end());
  return file;
}

bool Updater::FetchVersionFile() {
  platform::FetchResult result =
      env_->internet->Fetch(version_file_url_, ApplicationName());
  // Lines read before a failure stay; the next attempt replaces them.
  version_file_ =
      ReadVersionFile(result.body, result.status != platform::FetchStatus::kOk);
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
  // What failed, where, and why; the system's text no longer than a fetch
  // hands back.
  const platform::Status& error = result.error;
  std::string text = error.os_text();
  if (text.size() > platform::kMaxFetchErrorBytes) {
    text.resize(platform::kMaxFetchErrorBytes);
  }
  WriteLog(WithDetail(FetchFailureLine(error.kind()),
                      platform::Status::Error(error.kind(), error.object(),
                                              error.os_code(), text))
               .c_str());
  return false;
}

std::string Updater::AnnouncedVersion() const { return version_file_.version; }

std::string Updater::PackageUrl() const { return version_file_.url; }

int Updater::CompareVersion() const {
  if (!version_file_.has_entries) return -1;
  return version_file_.version == current_version_ ? 1 : 0;
}

}  // namespace vorn
