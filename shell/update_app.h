// UpdateApp: the application object. Its start-up hook performs the whole
// update and always answers false, so the process ends afterwards.
#ifndef VORN_SHELL_UPDATE_APP_H_
#define VORN_SHELL_UPDATE_APP_H_

#include "platform/app_base.h"
#include "platform/env.h"
#include "update/updater.h"

namespace vorn {

class UpdateApp : public platform::AppBase {
 public:
  explicit UpdateApp(const platform::Env* env);
  ~UpdateApp() override;

  bool InitInstance() override;

 private:
  const platform::Env* env_;
  Updater updater_;
};

}  // namespace vorn

#endif  // VORN_SHELL_UPDATE_APP_H_
