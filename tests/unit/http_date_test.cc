// ParseHttpDate reads fields at fixed offsets as local time; the expected
// values are local-time conversions of the expected calendar fields, so the
// table holds no epoch numbers that depend on the machine's zone.
#include "download/http_date.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>

#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

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
    {"rfc850_two_digit_year_negative_refused", "sunday, 06-nov-94 08:49:37 gmt",
     false, 0, 0, 0, 0, 0, 0},
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

class DateTable : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateTable, ReadsFieldsAtFixedOffsets) {
  const DateCase& c = GetParam();
  testing::FakeClock clock;
  Time64 out(12345);
  ASSERT_EQ(c.ok, ParseHttpDate(&clock, c.value, &out));
  if (!c.ok) {
    EXPECT_EQ(12345, out.seconds()) << "a refused date must not write";
    return;
  }
  platform::LocalFields expected{c.year, c.month,  c.day,
                                 c.hour, c.minute, c.second};
  int64_t want = clock.MakeLocalTime(expected);
  ASSERT_NE(-1, want);
  EXPECT_EQ(want, out.seconds());
}

INSTANTIATE_TEST_SUITE_P(HttpDate, DateTable, ::testing::ValuesIn(kDateCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

TEST(Time64Test, FromLocalFieldsRefusalLeavesOutputUntouched) {
  testing::FakeClock clock;
  Time64 out(777);
  EXPECT_FALSE(Time64::FromLocalFields(&clock, 1969, 12, 31, 0, 0, 0, &out));
  EXPECT_EQ(777, out.seconds());
  // Fields whose calendar record cannot even be formed (year - 1900 or
  // month - 1 would overflow) are refused, not handed to the conversion.
  EXPECT_FALSE(Time64::FromLocalFields(&clock, INT_MIN, 1, 1, 0, 0, 0, &out));
  EXPECT_FALSE(
      Time64::FromLocalFields(&clock, INT_MIN + 1899, 1, 1, 0, 0, 0, &out));
  EXPECT_FALSE(
      Time64::FromLocalFields(&clock, 2001, INT_MIN, 1, 0, 0, 0, &out));
  EXPECT_EQ(777, out.seconds());
  EXPECT_TRUE(Time64::FromLocalFields(&clock, 2001, 2, 3, 4, 5, 6, &out));
  EXPECT_EQ(clock.MakeLocalTime({2001, 2, 3, 4, 5, 6}), out.seconds());
}

TEST(Time64Test, MonthIsPassedOneBasedNotShifted) {
  testing::FakeClock clock;
  Time64 jan;
  Time64 feb;
  ASSERT_TRUE(Time64::FromLocalFields(&clock, 2001, 1, 31, 12, 0, 0, &jan));
  ASSERT_TRUE(Time64::FromLocalFields(&clock, 2001, 2, 1, 12, 0, 0, &feb));
  // 31 Jan and 1 Feb are one day apart (no daylight-saving change between).
  EXPECT_EQ(86400, feb.seconds() - jan.seconds());
}

TEST(Time64Test, NowIsTheClocksSeconds) {
  testing::FakeClock clock;
  clock.now_seconds = 1700000123;
  EXPECT_EQ(1700000123, Time64::Now(&clock).seconds());
}

TEST(Time64Test, EqualTimesAreNotEarlierEitherWay) {
  Time64 a(1000);
  Time64 b(1000);
  Time64 later(1001);
  EXPECT_FALSE(a.IsEarlierThan(b));
  EXPECT_FALSE(b.IsEarlierThan(a));
  EXPECT_TRUE(a.IsEarlierThan(later));
  EXPECT_FALSE(later.IsEarlierThan(a));
  // Signed comparison: a negative value is earlier than every positive one.
  EXPECT_TRUE(Time64(-5).IsEarlierThan(a));
}

}  // namespace
}  // namespace vorn
