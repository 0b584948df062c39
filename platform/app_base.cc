#include "platform/app_base.h"

namespace vorn::platform {
namespace {
AppBase* g_current = nullptr;
}  // namespace

AppBase::AppBase() { g_current = this; }

AppBase::~AppBase() {
  if (g_current == this) g_current = nullptr;
}

AppBase* AppBase::Current() { return g_current; }

int RunApplication() {
  AppBase* app = AppBase::Current();
  if (app == nullptr) return 0;
  // There is no message loop whatever InitInstance answers: the run is
  // over when it returns.
  app->InitInstance();
  return app->ExitInstance();
}

}  // namespace vorn::platform
