// Time64 construction.
#include "download/time64.h"

#include "platform/clock.h"

namespace vorn {

bool Time64::FromLocalFields(platform::Clock* clock, int year, int month,
                             int day, int hour, int minute, int second,
                             Time64* out) {
  platform::LocalFields fields;
  fields.year = year;
  fields.month = month;
  fields.day = day;
  fields.hour = hour;
  fields.minute = minute;
  fields.second = second;
  int64_t seconds = clock->MakeLocalTime(fields);
  if (seconds == -1) return false;
  *out = Time64(seconds);
  return true;
}

Time64 Time64::Now(platform::Clock* clock) {
  return Time64(clock->NowSeconds());
}

}  // namespace vorn
