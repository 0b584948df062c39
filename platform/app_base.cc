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
  app->InitInstance();
  // InitInstance answers false in every run: there is no message loop and
  // the process ends with status 0.
  return 0;
}

}  // namespace vorn::platform
