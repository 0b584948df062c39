// Shared pieces of the Linux backend: the accessors through which env.cc
// reaches each service family's single instance.
#ifndef VORN_PLATFORM_LINUX_LINUX_COMMON_H_
#define VORN_PLATFORM_LINUX_LINUX_COMMON_H_

#include "platform/env.h"

namespace vorn::platform::linux_os {

FileSystem* DefaultFileSystem();
Threads* DefaultThreads();
Clock* DefaultClock();
Network* DefaultNetwork();
InternetClient* DefaultInternet();
WindowSystem* DefaultWindowSystem();
Desktop* DefaultDesktop();
Process* DefaultProcess();

}  // namespace vorn::platform::linux_os

#endif  // VORN_PLATFORM_LINUX_LINUX_COMMON_H_
