// Updater: the parameters and the state of the one update run, and the
// process's one Downloader as its first member.
#ifndef VORN_UPDATE_UPDATER_H_
#define VORN_UPDATE_UPDATER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "download/downloader.h"
#include "platform/env.h"
#include "platform/window_system.h"
#include "update/release_checks.h"
#include "update/update_parameters.h"
#include "update/version_file.h"

namespace vorn {

// Result codes of the update run.
constexpr int32_t kRunOk = 0;
constexpr int32_t kRunInvalid = -1;
constexpr int32_t kRunFail = static_cast<int32_t>(0x80004005u);  // E_FAIL

// How a run ended, in more detail than its result code.
enum class RunOutcome {
  kDownloaded,         // the package was downloaded and the closing
                       // sequence ran
  kUpToDate,           // the installed version is the announced one
  kInvalidParameters,  // a field of the command line is empty
  kNetworkFailure,     // no attempt read the version file
  kBadVersionFile,     // read, but no VER or URL line (or a web page)
  kRefused,            // the release checks refused the version file
  kDownloadFailed,     // the download did not give a package
};

// Fetch attempts: the first one and this many retries, each retry after
// a pause.
constexpr int kFetchRetries = 12;
constexpr uint32_t kFetchPauseMs = 300000;
// Command sent to the host's dialog, and the pause after the notice.
constexpr uint32_t kHostCommand = 32823;
constexpr uint32_t kNoticePauseMs = 4000;

class Updater {
 public:
  explicit Updater(const platform::Env* env);
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Stores the fields of the command line.
  void SetParameters(const UpdateParameters& params);

  // The whole run: validation, log path, version fetch, decision and the
  // download. 0, -1 or E_FAIL.
  int32_t RunUpdate();

  // How the latest RunUpdate ended (kInvalidParameters before any run).
  RunOutcome outcome() const { return outcome_; }

  // Appends one dated line to the update log; a line the log cannot take
  // (no log path yet, the file cannot be opened or written) goes to the
  // platform's fallback, followed by a line that names the log and why.
  void WriteLog(const char* message);

  // One version-file attempt, its body read into the version file.
  bool FetchVersionFile();
  // 1 same version, 0 different, -1 no "VER" or no "URL".
  int CompareVersion() const;
  // The announced version and the package URL of the version file.
  std::string AnnouncedVersion() const;
  std::string PackageUrl() const;

  // Cuts the package URL, forms the save path and prepares and runs the
  // download (after CheckRelease). True when the package was downloaded
  // and the closing sequence ran.
  bool StartDownload();
  // Reads and checks the version file's package checks and, with a public
  // key, its signature, and hands the size and digest to the downloader.
  // False (with its log line) when the version file must not be trusted:
  // the run then ends before the versions are compared.
  bool CheckRelease();
  enum class KeyState { kNoKey, kKey, kBadKey };
  // Loads the public key that makes the signature mandatory (64 bytes, X
  // then Y): the compiled-in one, else the ".pub" file beside the
  // executable. Called once at start-up, before the run (RunUpdate calls
  // it when nobody did), so that a binary replaced during the run cannot
  // change it.
  void LoadPublicKey();
  KeyState key_state() const { return key_state_; }
  // The line of a key that cannot be used, naming its file.
  void LogBadKey();
  // The save path: download directory + separator + package file name.
  std::string SavePath() const;

  // Hands the download of `url` to the downloader and logs what it came
  // to; with the package in place runs the closing sequence. 0, -1 (the
  // workers were stopped) or E_FAIL.
  int32_t StartTransfer(const std::string& url);

  // The closing sequence after a successful merge.
  void CompleteUpdate();
  platform::WindowHandle FindHostWindow();
  // Opens the package file and keeps it open until the launch (on Windows
  // nobody may then write, rename or delete it); where the version file
  // gave a SHA-256, the bytes read through that very handle must match it.
  // Called right after the join; LaunchPackage calls it when nobody did.
  void HoldPackage();
  // Starts the held package, unless its name no longer leads to it (it was
  // replaced after the check): then a log line and no launch.
  void LaunchPackage();

  // The message box caption: the application's name.
  std::string ApplicationName() const;

  const std::string& log_path() const { return log_path_; }
  const VersionFile& version_file() const { return version_file_; }
  void set_version_file(const VersionFile& file) { version_file_ = file; }
  const std::string& download_dir() const { return download_dir_; }
  const std::string& package_name() const { return package_name_; }
  const std::string& host_title() const { return host_title_; }

  // The downloader; tests make it share the work of small packages.
  Downloader& downloader() { return downloader_; }

 private:
  // Opens the log, appends `bytes` and closes it.
  platform::Status AppendToLog(const std::string& bytes);
  // The freshness checks of a signed version file; see integrity.cc.
  bool CheckFreshness(const ReleaseChecks& checks);
  // Logs `refusal`, which comes from the state file at `path`, with the
  // path and that the file may be deleted.
  void LogStateRefusal(const char* refusal, const std::string& path);
  // The line of a plan that could not be written; nothing when it was.
  void LogPlanWrite(const platform::Status& written);

  Downloader downloader_;  // first member: built first, destroyed last
  const platform::Env* env_;
  std::string log_path_;
  VersionFile version_file_;  // the latest attempt's, as read
  std::string version_file_url_;
  std::string current_version_;
  std::string download_dir_;
  std::string package_name_;
  std::string host_title_;
  bool execute_ = false;
  RunOutcome outcome_ = RunOutcome::kInvalidParameters;
  bool key_loaded_ = false;
  KeyState key_state_ = KeyState::kNoKey;
  std::string public_key_;
  std::string key_path_;  // the key file's path; empty for a compiled-in key
  std::string expected_sha256_;  // the version file's SHA256, if any
  enum class Held { kNotYet, kHeld, kMissing, kReplaced };
  Held held_ = Held::kNotYet;
  std::unique_ptr<platform::File> held_package_;
};

}  // namespace vorn

#endif  // VORN_UPDATE_UPDATER_H_
