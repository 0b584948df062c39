// The closing sequence after a successful download: tell the host's dialog,
// tell the user, and start the package when asked to.
#include "platform/files.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {

namespace {
constexpr char kDialogClass[] = "#32770";
constexpr char kButtonClass[] = "Button";
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

void Updater::LaunchPackage() {
  const std::string package = SavePath();
  std::unique_ptr<platform::File> file =
      env_->files->Open(package, platform::OpenMode::kRead);
  if (!file) {
    WriteLog(msg::kPackageMissing);
    return;
  }
  file->Close();
  env_->desktop->OpenWithShell(package);
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
