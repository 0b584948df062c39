// The closing sequence after a successful download: tell the host's dialog,
// tell the user, and start the package when asked to.
#include "platform/crypto.h"
#include "platform/files.h"
#include "update/messages.h"
#include "update/outcome_lines.h"
#include "update/updater.h"

namespace vorn {

namespace {
constexpr char kDialogClass[] = "#32770";
constexpr char kButtonClass[] = "Button";
// The buffer of the held package's second hash.
constexpr int64_t kReadBytes = 256 * 1024;
}  // namespace

platform::WindowHandle Updater::FindHostWindow() {
  platform::WindowSystem* windows = env_->windows;
  platform::WindowHandle dialog = nullptr;
  for (;;) {
    dialog = windows->FindWindowAfter(nullptr, dialog, kDialogClass, nullptr);
    // Once the dialogs have run out this searches the top-level windows
    // themselves; a hit there still yields no host, as the dialog is null.
    platform::WindowHandle button = windows->FindWindowAfter(
        dialog, nullptr, kButtonClass, host_title_.c_str());
    if (button != nullptr || dialog == nullptr) return dialog;
  }
}

void Updater::HoldPackage() {
  (void)env_->files->Open(SavePath(), platform::OpenMode::kRead,
                          &held_package_);
  held_ = held_package_ ? Held::kHeld : Held::kMissing;
  if (!held_package_ || expected_sha256_.empty()) return;
  std::unique_ptr<platform::Sha256> digest;
  if (env_->crypto != nullptr) digest = env_->crypto->NewSha256();
  std::string buffer(static_cast<size_t>(kReadBytes), '\0');
  bool read = digest != nullptr;
  while (read) {
    int64_t got = 0;
    read = held_package_->Read(&buffer[0], kReadBytes, &got).ok();
    if (!read || got == 0) break;
    digest->Update(buffer.data(), static_cast<size_t>(got));
  }
  if (!read || digest->Final() != expected_sha256_) {
    held_package_.reset();
    held_ = Held::kReplaced;
  }
}

void Updater::LaunchPackage() {
  if (held_ == Held::kNotYet) HoldPackage();
  const std::string package = SavePath();
  if (held_ == Held::kMissing) {
    WriteLog(WithDetail(msg::kPackageMissing,
                        platform::Status::Error(platform::ErrorKind::kNotFound,
                                                package))
                 .c_str());
    return;
  }
  // On Linux a rename can still put another file at the name while the
  // package is held; the name must lead to the held file right before the
  // start.
  if (held_ == Held::kReplaced || !held_package_->IsNamedBy(package)) {
    // Gone is told as gone; anything else at the name is not the package.
    WriteLog(WithDetail(env_->files->KindOf(package) ==
                                platform::FileKind::kMissing
                            ? msg::kPackageMissing
                            : msg::kPackageReplaced,
                        platform::Status::Error(platform::ErrorKind::kOther,
                                                package))
                 .c_str());
  } else {
    env_->desktop->OpenWithShell(package);
  }
  held_package_.reset();
  held_ = Held::kNotYet;
}

void Updater::CompleteUpdate() {
  platform::WindowHandle host = FindHostWindow();
  if (host != nullptr && env_->windows->IsLiveWindow(host)) {
    env_->windows->SendCommand(host, kHostCommand);
  }
  env_->desktop->ShowMessageBox(ApplicationName(), msg::kCompletionNotice);
  env_->clock->SleepMillis(kNoticePauseMs);
  if (execute_) LaunchPackage();
  WriteLog(msg::kUpdated);
}

}  // namespace vorn
