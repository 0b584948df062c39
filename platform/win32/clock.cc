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

  void SleepMillis(uint32_t ms) override { Sleep(ms); }
};

}  // namespace

Clock* DefaultClock() {
  static Win32Clock clock;
  return &clock;
}

}  // namespace vorn::platform::win32
