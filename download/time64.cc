// Time64 construction.
#include "download/time64.h"

namespace vorn {

namespace {

// Days from 1970-01-01 to the first of `month` (1-12) of `year`, in the
// proleptic Gregorian calendar.
int64_t DaysToMonth(int64_t year, int64_t month) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
  const int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

bool Time64::FromUtcFields(int year, int month, int day, int hour, int minute,
                           int second, Time64* out) {
  // A month outside 1-12 moves the year, as mktime does.
  int64_t y = year;
  int64_t m = static_cast<int64_t>(month) - 1;
  y += m >= 0 ? m / 12 : (m - 11) / 12;
  m = m - (m >= 0 ? m / 12 : (m - 11) / 12) * 12;
  if (y < 1900 || y > 9999) return false;
  int64_t seconds = (DaysToMonth(y, m + 1) + day - 1) * 86400 +
                    static_cast<int64_t>(hour) * 3600 +
                    static_cast<int64_t>(minute) * 60 + second;
  if (seconds < 0) return false;
  *out = Time64(seconds);
  return true;
}

}  // namespace vorn
