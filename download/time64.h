// Time64: signed 64-bit seconds since 1970-01-01 00:00:00 UTC, made from
// UTC calendar fields; compared and stored, never shown.
#ifndef VORN_DOWNLOAD_TIME64_H_
#define VORN_DOWNLOAD_TIME64_H_

#include <cstdint>

namespace vorn {

class Time64 {
 public:
  Time64() = default;
  explicit Time64(int64_t seconds) : seconds_(seconds) {}

  // The time for the given UTC calendar fields (full year, month 1-12),
  // normalised as mktime normalises out-of-range fields, but never through
  // a time zone: the same fields give the same second everywhere, across a
  // daylight-saving change too. False, with `out` untouched, when the
  // fields name a time before 1970 or past the year 9999.
  static bool FromUtcFields(int year, int month, int day, int hour,
                            int minute, int second, Time64* out);
  int64_t seconds() const { return seconds_; }
  bool operator==(const Time64& other) const {
    return seconds_ == other.seconds_;
  }
  bool operator!=(const Time64& other) const { return !(*this == other); }

 private:
  int64_t seconds_ = 0;
};

}  // namespace vorn

#endif  // VORN_DOWNLOAD_TIME64_H_
