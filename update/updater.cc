// The update run: validation, the log path, the version fetch with its
// retries, the decision and the download start.
#include "update/updater.h"

#include "download/response_header.h"
#include "platform/files.h"
#include "platform/text.h"
#include "update/messages.h"
#include "update/outcome_lines.h"

namespace vorn {

Updater::Updater(const platform::Env* env) : downloader_(env), env_(env) {}

void Updater::SetParameters(const UpdateParameters& params) {
  version_file_url_ = params.version_file_url;
  current_version_ = params.current_version;
  download_dir_ = params.download_dir;
  package_name_ = params.package_name;
  execute_ = params.execute;
  host_title_ = params.host_title;
}

std::string Updater::ApplicationName() const {
  return env_->process->ApplicationName();
}

int32_t Updater::RunUpdate() {
  outcome_ = RunOutcome::kInvalidParameters;
  if (!key_loaded_) LoadPublicKey();
  // Without a directory there is nowhere to log.
  if (download_dir_.empty()) {
    WriteLog(msg::kDirectoryEmpty);
    return kRunFail;
  }
  // Only the last component is created; an existing directory is fine. One
  // that cannot be made (a missing parent, a path too long) is said through
  // the log's fallback, as the log would sit inside it; the run goes on and
  // its files fail with their own lines there too.
  platform::Status made = env_->files->MakeDirectory(download_dir_);
  if (!made.ok()) WriteLog(WithDetail(msg::kDirectoryNotMade, made).c_str());
  // The log, the record, the parts and the package all sit in this
  // directory: one that another user can change would let them swap the
  // package or plant links to the user's other files. Said on standard
  // error, as the log would be in that very directory.
  switch (env_->files->TrustOf(download_dir_)) {
    case platform::DirectoryTrust::kOtherOwner:
      env_->desktop->WriteStandardError(msg::kDirectoryNotOwned +
                                        download_dir_);
      return kRunInvalid;
    case platform::DirectoryTrust::kOthersWrite:
      env_->desktop->WriteStandardError(msg::kDirectoryOthersWrite +
                                        download_dir_);
      return kRunInvalid;
    case platform::DirectoryTrust::kPrivate:
    case platform::DirectoryTrust::kMissing:
      break;
  }
  log_path_ = download_dir_ + platform::kPathSeparator + "updatelog.txt";
  if (current_version_.empty()) {
    WriteLog(msg::kVersionEmpty);
    return kRunInvalid;
  }
  if (version_file_url_.empty()) {
    WriteLog(msg::kUrlEmpty);
    return kRunInvalid;
  }
  if (package_name_.empty()) {
    WriteLog(msg::kPackageNameEmpty);
    return kRunInvalid;
  }
  if (host_title_.empty()) {
    WriteLog(msg::kTitleEmpty);
    return kRunInvalid;
  }
  // A broken key stops the run before anything is fetched.
  if (key_state_ == KeyState::kBadKey) {
    LogBadKey();
    outcome_ = RunOutcome::kRefused;
    return kRunFail;
  }

  // The first attempt and up to twelve retries, five minutes apart.
  bool fetched = FetchVersionFile();
  for (int retries = 0; !fetched && retries < kFetchRetries; ++retries) {
    WriteLog(msg::kNetworkFailure);
    env_->clock->SleepMillis(kFetchPauseMs);
    fetched = FetchVersionFile();
  }

  // Decided whether or not the last attempt succeeded: a text that was not
  // read lacks the entries and counts as malformed.
  const int compared = CompareVersion();
  if (compared == -1) {
    WriteLog(msg::kBadVersionFile);
    outcome_ =
        fetched ? RunOutcome::kBadVersionFile : RunOutcome::kNetworkFailure;
    return kRunFail;
  }
  // The checks and the signature come before the decision: a file that is
  // not the publisher's must not even say "latest" (an attacker could keep
  // every client on its old version that way).
  if (!CheckRelease()) {
    outcome_ = RunOutcome::kRefused;
    return kRunFail;
  }
  if (compared == 1) {
    WriteLog(msg::kUpToDate);
    outcome_ = RunOutcome::kUpToDate;
    return kRunOk;
  }
  if (StartDownload()) {
    outcome_ = RunOutcome::kDownloaded;
    return kRunOk;
  }
  outcome_ = RunOutcome::kDownloadFailed;
  return kRunFail;
}

std::string Updater::SavePath() const {
  return download_dir_ + platform::kPathSeparator + package_name_;
}

bool Updater::StartDownload() {
  std::string url = PackageUrl();
  // Bytes that would end or split a request line never reach one.
  if (!IsRequestSafe(TrimLeft(url))) {
    WriteLog(msg::kPackageUrlUnsafe);
    return false;
  }
  return StartTransfer(url) == kRunOk;
}

}  // namespace vorn
