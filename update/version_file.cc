// The version file: one fetch attempt into the version text, and the cuts
// of the announced version and the package URL out of it.
#include "platform/text.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {

namespace {

// The version text of `body`: every line without its line end and followed
// by CR LF. A line ends at LF and CR bytes are dropped wherever they stand,
// so LF and CR LF read alike; a last line without a line end counts when
// anything but CR is left of it, unless `complete_only` (a reading that
// broke off keeps only the lines it finished).
std::string VersionText(const std::string& body, bool complete_only) {
  std::string text;
  std::string line;
  for (char c : body) {
    if (c == '\r') continue;
    if (c == '\n') {
      text += line;
      text += "\r\n";
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty() && !complete_only) text += line + "\r\n";
  return text;
}

}  // namespace

bool Updater::FetchVersionFile() {
  platform::FetchResult result =
      env_->internet->Fetch(version_file_url_, ApplicationName());
  // Lines read before a failure stay in the text; the next attempt replaces
  // it.
  version_text_ =
      VersionText(result.body, result.status != platform::FetchStatus::kOk);
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

// V is the first "VER", U the first "URL"; the version runs from V + 4 to
// the CR LF before U, the package URL from U + 4 to the text's last CR LF.
std::string Updater::AnnouncedVersion() const {
  int v = Find(version_text_, "VER");
  int u = Find(version_text_, "URL");
  return Mid(version_text_, v + 4, u - v - 6);
}

std::string Updater::PackageUrl() const {
  int u = Find(version_text_, "URL");
  if (u < 0) return std::string();
  int length = static_cast<int>(version_text_.size());
  std::string url = Mid(version_text_, u + 4, length - u - 6);
  // A file that merely ends with empty lines names the URL without them.
  while (url.size() >= 2 && url.compare(url.size() - 2, 2, "\r\n") == 0) {
    url.resize(url.size() - 2);
  }
  return url;
}

int Updater::CompareVersion() const {
  if (Find(version_text_, "VER") < 0 || Find(version_text_, "URL") < 0) {
    return -1;
  }
  return AnnouncedVersion() == current_version_ ? 1 : 0;
}

}  // namespace vorn
