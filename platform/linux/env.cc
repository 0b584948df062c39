// The Linux environment: every family's real service.
#include "platform/linux/linux_common.h"

namespace vorn::platform {

const Env& Env::Default() {
  static const Env env = [] {
    Env e;
    e.files = linux_os::DefaultFileSystem();
    e.threads = linux_os::DefaultThreads();
    e.clock = linux_os::DefaultClock();
    e.network = linux_os::DefaultNetwork();
    e.internet = linux_os::DefaultInternet();
    e.windows = linux_os::DefaultWindowSystem();
    e.desktop = linux_os::DefaultDesktop();
    e.process = linux_os::DefaultProcess();
    e.crypto = linux_os::DefaultCrypto();
    e.proxies = linux_os::DefaultProxies();
    return e;
  }();
  return env;
}

}  // namespace vorn::platform
