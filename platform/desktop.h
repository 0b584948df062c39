// Dialogs and shell: the modal message box, a line on standard error and
// opening a file.
#ifndef VORN_PLATFORM_DESKTOP_H_
#define VORN_PLATFORM_DESKTOP_H_

#include <string>

namespace vorn::platform {

class Desktop {
 public:
  virtual ~Desktop() = default;
  // A modal box with an OK button; returns when the user has closed it.
  // `caption` and `text` are ANSI (GBK) bytes.
  virtual void ShowMessageBox(const std::string& caption,
                              const std::string& text) = 0;
  // One line (ANSI/GBK bytes) for whoever started the process, where the
  // log cannot take it: standard error, as UTF-8, on Linux; the debugger's
  // output on Windows, where a program without a console has no standard
  // error.
  virtual void WriteStandardError(const std::string& text) = 0;
  // A dated log line (ANSI/GBK bytes, without its line end) that the update
  // log could not take (a full disk, a path too long, a directory gone), so
  // that it still reaches a person: on Linux standard error, as UTF-8; on
  // Windows, where nobody reads standard error, the fallback log
  // %TEMP%\vornupdate\updatelog.txt in the user's temporary directory.
  virtual void WriteLostLogLine(const std::string& line) = 0;
  // Opens `path` with the shell verb "open" in the normal show state. The
  // outcome is not reported.
  virtual void OpenWithShell(const std::string& path) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_DESKTOP_H_
