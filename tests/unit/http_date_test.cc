// ParseHttpDate reads fields at fixed offsets as UTC. The expected values
// are the C library's UTC conversions of the expected calendar fields, and
// every date test runs under a zone with daylight saving time, so a reading
// as local time shows.
#include "download/http_date.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>

namespace vorn {
namespace {

// Seconds since 1970 of UTC calendar fields, normalised by the C library.
int64_t UtcSeconds(int year, int month, int day, int hour, int minute,
                   int second) {
  std::tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
#ifdef _WIN32
  return static_cast<int64_t>(_mkgmtime64(&tm));
#else
  return static_cast<int64_t>(timegm(&tm));
#endif
}

void SetZone(const char* zone) {
#ifdef _WIN32
  _putenv_s("TZ", zone == nullptr ? "" : zone);
  _tzset();
#else
  if (zone == nullptr) {
    unsetenv("TZ");
  } else {
    setenv("TZ", zone, 1);
  }
  tzset();
#endif
}

// Sets TZ to New York for the test and puts the old value back after.
class InNewYork : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    had_zone_ = old != nullptr;
    if (had_zone_) old_zone_ = old;
    SetZone("America/New_York");
  }
  void TearDown() override {
    SetZone(had_zone_ ? old_zone_.c_str() : nullptr);
  }

 private:
  bool had_zone_ = false;
  std::string old_zone_;
};

struct DateCase {
  const char* name;
  const char* value;
  bool ok;
  int year, month, day, hour, minute, second;
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const DateCase& c, std::ostream* os) { *os << c.name; }

const DateCase kDateCases[] = {
    {"rfc1123", "sun, 06 nov 1994 08:49:37 gmt", true, 1994, 11, 6, 8, 49, 37},
    {"june_not_january", "sun, 06 jun 1994 08:49:37 gmt", true, 1994, 6, 6, 8,
     49, 37},
    {"december_last_in_table", "fri, 31 dec 1999 23:59:59 gmt", true, 1999, 12,
     31, 23, 59, 59},
    {"summer_time_date", "wed, 01 jul 2026 12:00:00 gmt", true, 2026, 7, 1, 12,
     0, 0},
    {"hour_skipped_by_the_spring_change", "sun, 08 mar 2026 02:30:00 gmt", true,
     2026, 3, 8, 2, 30, 0},
    {"hour_repeated_by_the_autumn_change", "sun, 01 nov 2026 01:30:00 gmt",
     true, 2026, 11, 1, 1, 30, 0},
    {"one_digit_day_shifts_month_to_january", "sun, 6 nov 1994 08:49:37 gmt",
     true, 1994, 1, 6, 8, 49, 37},
    {"no_blank_after_year_gives_2000_and_time_from_year_digits",
     "sun, 06 nov 1994", true, 2000, 11, 6, 19, 4, 0},
    {"two_blanks_before_time_shift_every_field",
     "sun, 06 nov 1994  08:49:37 gmt", true, 1994, 11, 6, 0, 0, 0},
    {"tab_ends_the_year_too", "sun, 06 nov 1994\t08:49:37 gmt", true, 1994, 11,
     6, 8, 49, 37},
    {"month_spanning_two_names_credited_to_first", "sun, 06 y,j 1994 08:49:37",
     true, 1994, 5, 6, 8, 49, 37},
    {"unknown_month_is_january", "sun, 06 xyz 1994 08:49:37", true, 1994, 1, 6,
     8, 49, 37},
    {"empty_month_text_is_january", "sun, 6", true, 2000, 1, 6, 0, 0, 0},
    {"month_text_lower_cased", "sun, 06 NOV 1994 08:49:37", true, 1994, 11, 6,
     8, 49, 37},
    {"blanks_after_comma_dropped", "sun,    06 nov 1994 08:49:37", true, 1994,
     11, 6, 8, 49, 37},
    {"day_zero_normalised_to_month_before", "sun, 00 nov 1994 08:49:37", true,
     1994, 10, 31, 8, 49, 37},
    {"minute_75_normalised_into_next_hour", "sun, 06 nov 1994 08:75:00", true,
     1994, 11, 6, 9, 15, 0},
    {"zone_ignored", "sun, 06 nov 1994 08:49:37 pst", true, 1994, 11, 6, 8, 49,
     37},
    {"rfc850_two_digit_year_refused", "sunday, 06-nov-94 08:49:37 gmt", false,
     0, 0, 0, 0, 0, 0},
    {"asctime_without_comma_refused", "sun nov  6 08:49:37 1994", false, 0, 0,
     0, 0, 0, 0},
    {"year_before_1970_refused", "sun, 06 nov 1960 08:49:37 gmt", false, 0, 0,
     0, 0, 0, 0},
    {"year_without_digits_refused", "sun, 06 nov abc 08:49:37", false, 0, 0, 0,
     0, 0, 0},
    {"empty_refused", "", false, 0, 0, 0, 0, 0, 0},
    {"year_wrapping_to_int_min_refused", "sun, 06 nov -2147483648 08:49:37",
     false, 0, 0, 0, 0, 0, 0},
    {"year_wrapping_past_int_max_refused", "sun, 06 nov 4294967295 08:49:37",
     false, 0, 0, 0, 0, 0, 0},
};

class DateTable : public InNewYork,
                  public ::testing::WithParamInterface<DateCase> {};

TEST_P(DateTable, ReadsFieldsAtFixedOffsetsAsUtc) {
  const DateCase& c = GetParam();
  Time64 out(12345);
  ASSERT_EQ(c.ok, ParseHttpDate(c.value, &out));
  if (!c.ok) {
    EXPECT_EQ(12345, out.seconds()) << "a refused date must not write";
    return;
  }
  EXPECT_EQ(UtcSeconds(c.year, c.month, c.day, c.hour, c.minute, c.second),
            out.seconds());
}

INSTANTIATE_TEST_SUITE_P(HttpDate, DateTable, ::testing::ValuesIn(kDateCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

using HttpDateTest = InNewYork;

// Dates an hour apart across New York's spring change are an hour apart,
// not the same second and not two hours apart.
TEST_F(HttpDateTest, DaylightSavingPairIsOneHourApart) {
  const char* pairs[][2] = {
      {"sun, 08 mar 2026 06:30:00 gmt", "sun, 08 mar 2026 07:30:00 gmt"},
      {"sun, 08 mar 2026 01:30:00 gmt", "sun, 08 mar 2026 02:30:00 gmt"},
      {"sun, 08 mar 2026 02:30:00 gmt", "sun, 08 mar 2026 03:30:00 gmt"},
      {"sun, 01 nov 2026 01:30:00 gmt", "sun, 01 nov 2026 02:30:00 gmt"},
  };
  for (const auto& pair : pairs) {
    Time64 first, second;
    ASSERT_TRUE(ParseHttpDate(pair[0], &first)) << pair[0];
    ASSERT_TRUE(ParseHttpDate(pair[1], &second)) << pair[1];
    EXPECT_EQ(3600, second.seconds() - first.seconds()) << pair[0];
  }
}

TEST(Time64Test, FromUtcFieldsRefusalLeavesOutputUntouched) {
  Time64 out(777);
  EXPECT_FALSE(Time64::FromUtcFields(1969, 12, 31, 23, 59, 59, &out));
  EXPECT_FALSE(Time64::FromUtcFields(10000, 1, 1, 0, 0, 0, &out));
  // Fields far out of range are refused, not wrapped into a valid year.
  EXPECT_FALSE(Time64::FromUtcFields(INT_MIN, 1, 1, 0, 0, 0, &out));
  EXPECT_FALSE(Time64::FromUtcFields(2001, INT_MIN, 1, 0, 0, 0, &out));
  EXPECT_FALSE(Time64::FromUtcFields(2001, INT_MAX, 1, 0, 0, 0, &out));
  EXPECT_EQ(777, out.seconds());
  EXPECT_TRUE(Time64::FromUtcFields(1970, 1, 1, 0, 0, 0, &out));
  EXPECT_EQ(0, out.seconds());
}

}  // namespace
}  // namespace vorn
