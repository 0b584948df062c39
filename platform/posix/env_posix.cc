#include "platform/posix/posix_env.h"

namespace vorn::platform {

const Env& Env::Default() {
  static const Env env = [] {
    Env e;
    e.files = PosixFiles();
    e.threads = PosixThreads();
    e.clock = PosixClock();
    e.network = PosixNetwork();
    e.internet = CurlInternet();
    e.windows = PosixWindows();
    e.desktop = PosixDesktop();
    e.process = PosixProcess();
    return e;
  }();
  return env;
}

}  // namespace vorn::platform
