// The version file: one fetch attempt into the version text, and the cuts
// of the announced version and the package URL out of it.
#include "platform/text.h"
#include "update/updater.h"

namespace vorn {

bool Updater::FetchVersionFile() {
  version_text_.clear();
  platform::FetchResult result =
      env_->internet->FetchLines(version_file_url_, ApplicationName());
  // Lines read before a failure stay in the text; the next attempt empties
  // it again.
  for (const std::string& line : result.lines) {
    version_text_ += line;
    version_text_ += "\r\n";
  }
  switch (result.status) {
    case platform::FetchStatus::kOk:
      return true;
    case platform::FetchStatus::kNoFile:
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
  return Mid(version_text_, u + 4, length - u - 6);
}

int Updater::CompareVersion() const {
  if (Find(version_text_, "VER") < 0 || Find(version_text_, "URL") < 0) {
    return -1;
  }
  return AnnouncedVersion() == current_version_ ? 1 : 0;
}

}  // namespace vorn
