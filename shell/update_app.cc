#include "shell/update_app.h"

#include "shell/command_line.h"

namespace vorn {

namespace {
// Name of the single-instance guard.
constexpr char kInstanceName[] = "vornUpdate";
}  // namespace

UpdateApp::UpdateApp(const platform::Env* env) : env_(env), updater_(env) {}

UpdateApp::~UpdateApp() = default;

bool UpdateApp::InitInstance() {
  platform::AppBase::InitInstance();
  // The guard rests on the existence of the named object alone; a second
  // instance ends here, silently.
  if (env_->process->GuardAlreadyExists(kInstanceName)) return false;

  UpdateParameters params;
  if (!SplitCommandLine(env_->process->CommandLine(), &params)) return false;
  updater_.SetParameters(params);
  updater_.RunUpdate();
  return false;
}

}  // namespace vorn
