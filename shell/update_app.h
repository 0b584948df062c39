// UpdateApp: the application object. Its start-up hook performs the whole
// update and always answers false, so the process ends afterwards with the
// exit status below.
#ifndef VORN_SHELL_UPDATE_APP_H_
#define VORN_SHELL_UPDATE_APP_H_

#include "platform/app_base.h"
#include "platform/env.h"
#include "update/updater.h"

namespace vorn {

// The process's exit status: 0 for a run that ended as intended, one code
// for each other way it can end.
constexpr int kExitOk = 0;                 // downloaded, or already latest
constexpr int kExitDownloadFailed = 1;     // the download gave no package
constexpr int kExitBadVersionFile = 2;     // no VER or URL line, a web page
constexpr int kExitNetworkFailure = 3;     // the version file never came
constexpr int kExitInvalidParameters = 4;  // an empty field
constexpr int kExitRefused = 5;            // the release checks refused it
constexpr int kExitBadCommandLine = 6;     // fewer than five ';'
constexpr int kExitAlreadyRunning = 7;     // another instance holds the guard

// The exit status of a run that ended with `outcome`.
int ExitStatusFor(RunOutcome outcome);

class UpdateApp : public platform::AppBase {
 public:
  explicit UpdateApp(const platform::Env* env);
  ~UpdateApp() override;

  bool InitInstance() override;
  int ExitInstance() override { return exit_status_; }

 private:
  const platform::Env* env_;
  Updater updater_;
  int exit_status_ = kExitOk;
};

}  // namespace vorn

#endif  // VORN_SHELL_UPDATE_APP_H_
