// Shared pieces of the Linux backend: the accessors through which env.cc
// reaches each service family's single instance.
#ifndef VORN_PLATFORM_LINUX_LINUX_COMMON_H_
#define VORN_PLATFORM_LINUX_LINUX_COMMON_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace vorn::platform::linux_os {

// The one place where errno becomes a Status: its kind, the system's text,
// and `object` (a path, host:port).
Status OsError(int code, const std::string& object);
std::string OsErrorText(int code);

FileSystem* DefaultFileSystem();
// What `path` names (see FileSystem::KindOf).
FileKind KindOf(const std::string& path);
Threads* DefaultThreads();
Clock* DefaultClock();
Network* DefaultNetwork();
InternetClient* DefaultInternet();
WindowSystem* DefaultWindowSystem();
Desktop* DefaultDesktop();
Process* DefaultProcess();
Crypto* DefaultCrypto();
ProxyResolver* DefaultProxies();

// A version-file client whose attempts end after `attempt_ms` in all
// (DefaultInternet's after kFetchAttemptSeconds), for tests of that bound.
std::unique_ptr<InternetClient> NewInternet(uint32_t attempt_ms);

}  // namespace vorn::platform::linux_os

#endif  // VORN_PLATFORM_LINUX_LINUX_COMMON_H_
