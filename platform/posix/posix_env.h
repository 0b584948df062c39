// The POSIX backend's service objects, gathered by Env::Default().
#ifndef VORN_PLATFORM_POSIX_POSIX_ENV_H_
#define VORN_PLATFORM_POSIX_POSIX_ENV_H_

#include "platform/env.h"

namespace vorn::platform {

FileSystem* PosixFiles();
Threads* PosixThreads();
Clock* PosixClock();
Network* PosixNetwork();
InternetClient* CurlInternet();
WindowSystem* PosixWindows();
Desktop* PosixDesktop();
Process* PosixProcess();

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_POSIX_POSIX_ENV_H_
