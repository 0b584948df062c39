// Message boxes and the shell on Linux. Most Linux deployments have no user
// at a screen, so a box is written to standard error (converted from GBK to
// UTF-8 for display only); on a graphical display with zenity installed it
// is shown with zenity and waited for, as a modal box would be. Opening a
// file starts it detached: an executable directly, anything else through
// xdg-open when that exists.
#include "platform/desktop.h"

#include <errno.h>
#include <iconv.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/linux_common.h"
#include "platform/window_system.h"

extern char** environ;

namespace vorn::platform::linux_os {
namespace {

std::string GbkToUtf8(const std::string& gbk) {
  iconv_t cd = ::iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string out;
  std::vector<char> in(gbk.begin(), gbk.end());
  char* src = in.data();
  size_t src_left = in.size();
  char buf[4096];
  while (src_left > 0) {
    char* dst = buf;
    size_t dst_left = sizeof(buf);
    size_t rc = ::iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buf, sizeof(buf) - dst_left);
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // An invalid byte: show it as '?' and go on.
      out.push_back('?');
      ++src;
      --src_left;
    }
  }
  ::iconv_close(cd);
  return out;
}

bool FindOnPath(const char* name, std::string* found) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string dirs = path;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
      *found = candidate;
      return true;
    }
    start = end + 1;
  }
  return false;
}

// Runs argv and waits for it; false when it could not be started.
bool RunAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) !=
      0) {
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

// Starts argv in a new session, not waited for: the child of a short-lived
// intermediate process, so it outlives the updater and leaves no zombie.
void StartDetached(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid < 0) return;
  if (pid == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(0);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// A script with "#!" or an ELF binary.
bool IsProgram(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char magic[4] = {0, 0, 0, 0};
  size_t n = std::fread(magic, 1, sizeof(magic), f);
  std::fclose(f);
  return (n >= 2 && magic[0] == '#' && magic[1] == '!') ||
         (n == 4 && std::memcmp(magic,
                                "\x7F"
                                "ELF",
                                4) == 0);
}

class LinuxDesktop final : public Desktop {
 public:
  void ShowMessageBox(const std::string& caption,
                      const std::string& text) override {
    std::string title = GbkToUtf8(caption);
    std::string body = GbkToUtf8(text);
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), body.c_str());
    std::fflush(stderr);
    const char* display = std::getenv("DISPLAY");
    std::string zenity;
    if (display != nullptr && display[0] != '\0' &&
        FindOnPath("zenity", &zenity)) {
      RunAndWait({zenity, "--info", "--title=" + title, "--text=" + body,
                  "--no-markup"});
    }
  }

  void WriteStandardError(const std::string& text) override {
    std::fprintf(stderr, "%s\n", GbkToUtf8(text).c_str());
    std::fflush(stderr);
  }

  void WriteLostLogLine(const std::string& line) override {
    WriteStandardError(line);
  }

  void OpenWithShell(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (::access(path.c_str(), X_OK) == 0 || IsProgram(path))) {
      // A downloaded package never carries the executable bit; a program
      // (a script or an ELF binary) is what "open" runs on Windows too.
      ::chmod(path.c_str(), st.st_mode | S_IXUSR);
      StartDetached({path});
      return;
    }
    std::string opener;
    if (FindOnPath("xdg-open", &opener)) StartDetached({opener, path});
  }
};

// Linux has no host dialogs: the search finds no window.
class LinuxWindowSystem final : public WindowSystem {
 public:
  WindowHandle FindWindowAfter(WindowHandle, WindowHandle, const char*,
                               const char*) override {
    return nullptr;
  }
  bool IsLiveWindow(WindowHandle) override { return false; }
  void SendCommand(WindowHandle, uint32_t) override {}
};

}  // namespace

Desktop* DefaultDesktop() {
  static LinuxDesktop desktop;
  return &desktop;
}

WindowSystem* DefaultWindowSystem() {
  static LinuxWindowSystem windows;
  return &windows;
}

}  // namespace vorn::platform::linux_os
