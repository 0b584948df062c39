// The message box and the shell's "open" verb.
#include "platform/desktop.h"

#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <shellapi.h>

namespace vorn::platform::win32 {
namespace {

class Win32Desktop final : public Desktop {
 public:
  void ShowMessageBox(const std::string& caption,
                      const std::string& text) override {
    // The texts are ANSI bytes already; the A call converts them with the
    // system's code page.
    MessageBoxA(/*hWnd=*/nullptr, text.c_str(), caption.c_str(), MB_OK);
  }

  void WriteStandardError(const std::string& text) override {
    OutputDebugStringA((text + "\n").c_str());
  }

  void OpenWithShell(const std::string& path) override {
    // The outcome is not reported to anyone, so the result is not kept.
    ShellExecuteA(/*hwnd=*/nullptr, "open", path.c_str(),
                  /*lpParameters=*/nullptr, /*lpDirectory=*/nullptr,
                  SW_SHOWNORMAL);
  }
};

}  // namespace

Desktop* DefaultDesktop() {
  static Win32Desktop desktop;
  return &desktop;
}

}  // namespace vorn::platform::win32
