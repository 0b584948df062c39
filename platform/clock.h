// Time: local calendar fields, the current time, and the pauses of the
// update run.
#ifndef VORN_PLATFORM_CLOCK_H_
#define VORN_PLATFORM_CLOCK_H_

#include <cstdint>

namespace vorn::platform {

struct LocalFields {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // The local time now.
  virtual LocalFields LocalNow() = 0;
  // Seconds since 1970-01-01 00:00:00 UTC.
  virtual int64_t NowSeconds() = 0;
  // Milliseconds on a clock that only goes forward (not the wall clock,
  // which a user may set back): for bounds on how long a step may take.
  virtual int64_t MonotonicMillis() = 0;
  // Blocks the calling thread for `ms` milliseconds.
  virtual void SleepMillis(uint32_t ms) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_CLOCK_H_
