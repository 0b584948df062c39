// The single-instance guard and the command line on Linux. The guard is a
// Unix socket bound to a name in the abstract namespace: it exists exactly
// as long as this process holds it and leaves no file behind. The namespace
// is shared by every user of the machine, so any local user who binds the
// name first keeps every other user's run from starting.
#include "platform/process.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

class LinuxProcess final : public Process {
 public:
  bool GuardAlreadyExists(const std::string& name) override {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;  // no guard: the run goes on without it
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    // sun_path[0] == 0 selects the abstract namespace.
    size_t n = name.size();
    if (n > sizeof(addr.sun_path) - 1) n = sizeof(addr.sun_path) - 1;
    std::memcpy(addr.sun_path + 1, name.data(), n);
    socklen_t len =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + n);
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0) {
      // Kept open, never closed: the name lives until the process ends.
      return false;
    }
    int err = errno;
    ::close(fd);
    return err == EADDRINUSE;
  }

  std::string CommandLine() override {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::ostringstream raw;
    raw << in.rdbuf();
    std::string args = raw.str();
    if (!args.empty() && args.back() == '\0') args.pop_back();
    for (char& c : args) {
      if (c == '\0') c = ' ';
    }
    return args;
  }

  std::string ApplicationName() override {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "vornupdate";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    std::string name =
        slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
  }
};

}  // namespace

Process* DefaultProcess() {
  static LinuxProcess process;
  return &process;
}

}  // namespace vorn::platform::linux_os
