#include "platform/clock.h"

#include <time.h>

#include <cerrno>

#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

class LinuxClock final : public Clock {
 public:
  LocalFields LocalNow() override {
    time_t now = ::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    LocalFields f;
    f.year = local.tm_year + 1900;
    f.month = local.tm_mon + 1;
    f.day = local.tm_mday;
    f.hour = local.tm_hour;
    f.minute = local.tm_min;
    f.second = local.tm_sec;
    return f;
  }

  int64_t NowSeconds() override {
    return static_cast<int64_t>(::time(nullptr));
  }

  int64_t MonotonicMillis() override {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }

  void SleepMillis(uint32_t ms) override {
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Clock* DefaultClock() {
  static LinuxClock clock;
  return &clock;
}

}  // namespace vorn::platform::linux_os
