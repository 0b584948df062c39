// Windows of other programs: finding the host's dialog and sending it a
// command.
#ifndef VORN_PLATFORM_WINDOW_SYSTEM_H_
#define VORN_PLATFORM_WINDOW_SYSTEM_H_

#include <cstdint>
#include <string>

namespace vorn::platform {

using WindowHandle = void*;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // FindWindowExA: the next window after `after` (null: from the start)
  // among the children of `parent` (null: the top-level windows), of class
  // `window_class`, with caption `caption` when `caption` is not null.
  virtual WindowHandle FindWindowAfter(WindowHandle parent, WindowHandle after,
                                       const char* window_class,
                                       const char* caption) = 0;
  // Whether `window` is still a window.
  virtual bool IsLiveWindow(WindowHandle window) = 0;
  // Sends WM_COMMAND with wParam `command` and lParam 0 and returns once the
  // window has handled it.
  virtual void SendCommand(WindowHandle window, uint32_t command) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_WINDOW_SYSTEM_H_
