#include <time.h>

#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/posix/posix_env.h"

namespace vorn::platform {
namespace {

class PosixClockImpl final : public Clock {
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

  int64_t MakeLocalTime(const LocalFields& fields) override {
    // Fields whose tm form would overflow name no representable time.
    if (fields.year < INT_MIN + 1900 || fields.month < INT_MIN + 1) return -1;
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

Clock* PosixClock() {
  static PosixClockImpl clock;
  return &clock;
}

}  // namespace vorn::platform
