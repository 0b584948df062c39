#include "shell/update_app.h"

#include "shell/command_line.h"

namespace vorn {

namespace {
// Name of the single-instance guard.
constexpr char kInstanceName[] = "vornUpdate";
}  // namespace

int ExitStatusFor(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kDownloaded:
    case RunOutcome::kUpToDate:
      return kExitOk;
    case RunOutcome::kInvalidParameters:
      return kExitInvalidParameters;
    case RunOutcome::kNetworkFailure:
      return kExitNetworkFailure;
    case RunOutcome::kBadVersionFile:
      return kExitBadVersionFile;
    case RunOutcome::kRefused:
      return kExitRefused;
    case RunOutcome::kDownloadFailed:
      return kExitDownloadFailed;
  }
  return kExitDownloadFailed;
}

UpdateApp::UpdateApp(const platform::Env* env) : env_(env), updater_(env) {}

UpdateApp::~UpdateApp() = default;

bool UpdateApp::InitInstance() {
  platform::AppBase::InitInstance();
  // The key first, before anything else can happen to the files beside
  // the executable.
  updater_.LoadPublicKey();
  // The guard rests on the existence of the named object alone; a second
  // instance ends here, without a line (the log belongs to the first).
  if (env_->process->GuardAlreadyExists(kInstanceName)) {
    exit_status_ = kExitAlreadyRunning;
    return false;
  }

  UpdateParameters params;
  if (!SplitCommandLine(env_->process->CommandLine(), &params)) {
    exit_status_ = kExitBadCommandLine;
    return false;
  }
  updater_.SetParameters(params);
  updater_.RunUpdate();
  exit_status_ = ExitStatusFor(updater_.outcome());
  return false;
}

}  // namespace vorn
