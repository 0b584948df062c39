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

  int64_t MakeLocalTime(const LocalFields& fields) override {
    if (!FitsCalendarRecord(fields)) return -1;
    struct tm t = {};
    t.tm_sec = fields.second;
    t.tm_min = fields.minute;
    t.tm_hour = fields.hour;
    t.tm_mday = fields.day;
    t.tm_mon = fields.month - 1;
    t.tm_year = fields.year - 1900;
    t.tm_isdst = -1;
    time_t result = ::mktime(&t);
    // Windows' _mktime64 represents nothing before the epoch; keep the two
    // backends alike.
    if (result == static_cast<time_t>(-1) || result < 0) return -1;
    return static_cast<int64_t>(result);
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
