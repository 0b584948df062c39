// The platform environment: one object per service family. The core takes
// an Env and calls nothing of the operating system directly, so tests hand
// it doubles for the families they want to control (a scripted clock, a
// window tree in memory, a recording message box, scripted sockets).
#ifndef VORN_PLATFORM_ENV_H_
#define VORN_PLATFORM_ENV_H_

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/internet.h"
#include "platform/process.h"
#include "platform/proxy.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "platform/window_system.h"

namespace vorn::platform {

struct Env {
  FileSystem* files = nullptr;
  Threads* threads = nullptr;
  Clock* clock = nullptr;
  Network* network = nullptr;
  InternetClient* internet = nullptr;
  WindowSystem* windows = nullptr;
  Desktop* desktop = nullptr;
  Process* process = nullptr;
  Crypto* crypto = nullptr;
  // Null: every connection goes straight to its server.
  ProxyResolver* proxies = nullptr;

  // The real services of this operating system; lives for the process.
  static const Env& Default();
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_ENV_H_
