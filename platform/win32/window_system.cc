// Other programs' windows through user32.
#include "platform/window_system.h"

#include "platform/win32/win32_common.h"

namespace vorn::platform::win32 {
namespace {

HWND AsWindow(WindowHandle window) { return static_cast<HWND>(window); }

class Win32WindowSystem final : public WindowSystem {
 public:
  WindowHandle FindWindowAfter(WindowHandle parent, WindowHandle after,
                               const char* window_class,
                               const char* caption) override {
    return FindWindowExA(AsWindow(parent), AsWindow(after), window_class,
                         caption);
  }

  bool IsLiveWindow(WindowHandle window) override {
    return IsWindow(AsWindow(window)) != FALSE;
  }

  void SendCommand(WindowHandle window, uint32_t command) override {
    SendMessageA(AsWindow(window), WM_COMMAND, static_cast<WPARAM>(command),
                 /*lParam=*/0);
  }
};

}  // namespace

WindowSystem* DefaultWindowSystem() {
  static Win32WindowSystem windows;
  return &windows;
}

}  // namespace vorn::platform::win32
