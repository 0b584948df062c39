// Time through the C runtime's 64-bit calls and the local system time.
#include "platform/clock.h"

#include <time.h>

#include "platform/win32/win32_common.h"

namespace vorn::platform::win32 {
namespace {

class Win32Clock final : public Clock {
 public:
  LocalFields LocalNow() override {
    SYSTEMTIME now;
    GetLocalTime(&now);
    LocalFields fields;
    fields.year = now.wYear;
    fields.month = now.wMonth;
    fields.day = now.wDay;
    fields.hour = now.wHour;
    fields.minute = now.wMinute;
    fields.second = now.wSecond;
    return fields;
  }

  int64_t NowSeconds() override { return _time64(nullptr); }

  int64_t MonotonicMillis() override {
    return static_cast<int64_t>(GetTickCount64());
  }

  int64_t MakeLocalTime(const LocalFields& fields) override {
    if (!FitsCalendarRecord(fields)) return -1;
    struct tm t = {};
    t.tm_year = fields.year - 1900;
    t.tm_mon = fields.month - 1;
    t.tm_mday = fields.day;
    t.tm_hour = fields.hour;
    t.tm_min = fields.minute;
    t.tm_sec = fields.second;
    t.tm_isdst = -1;  // the C library decides on daylight saving
    __time64_t seconds = _mktime64(&t);
    // The runtime answers -1 before 1970; a zone east of UTC could still
    // give a small negative count for the first hours, equally unusable.
    if (seconds < 0) return -1;
    return seconds;
  }

  void SleepMillis(uint32_t ms) override { Sleep(ms); }
};

}  // namespace

Clock* DefaultClock() {
  static Win32Clock clock;
  return &clock;
}

}  // namespace vorn::platform::win32
