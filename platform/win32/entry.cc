// The executable's entry point (a GUI-subsystem program without windows of
// its own): runs the application object.
#include "platform/app_base.h"
#include "platform/win32/win32_common.h"

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  return vorn::platform::RunApplication();
}
