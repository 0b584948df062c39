// ParseResponseHeader: classification, field search over the lower-cased
// text, the Content-Length bound, and redirect targets resolved against
// the current URL http://h/a/f.exe.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

constexpr int64_t kNow = 1800000000;
const char kStart[] = "http://h/a/f.exe";

// After the parse: where the Downloader points. A null `url` means "the
// Downloader is unchanged" (no referer, still at kStart).
struct After {
  const char* url;
  const char* host;
  const char* path;
  uint16_t port;
};
constexpr After kUnchanged = {nullptr, nullptr, nullptr, 0};

struct HeaderCase {
  const char* name;
  const char* text;
  int result;
  int32_t length;
  int32_t status;
  bool dated;  // modified = 6 Nov 1994 08:49:37 local, else the parse's now
  After after;
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

const HeaderCase kHeaderCases[] = {
    // Success branch.
    {"partial_with_length_and_date",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
     "Content-Range: bytes 100-999/1000\r\n"
     "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
     0, 900, 206, true, kUnchanged},
    {"partial_without_content_range_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n\r\n", 3, 0, 206,
     false, kUnchanged},
    {"partial_total_disagreeing_with_length_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
     "Content-Range: bytes 100-999/1001\r\n\r\n",
     3, 0, 206, false, kUnchanged},
    {"partial_of_another_range_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 1000\r\n"
     "Content-Range: bytes 0-999/1000\r\n\r\n",
     3, 0, 206, false, kUnchanged},
    {"chunked_answer_fails",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
     "Content-Length: 5\r\n\r\n",
     3, 0, 200, false, kUnchanged},
    {"gzip_answer_fails",
     "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 5\r\n\r\n",
     3, 0, 200, false, kUnchanged},
    {"folded_line_fails", "HTTP/1.1 200 OK\r\nContent-Length:\r\n 5\r\n\r\n", 3,
     0, 0, false, kUnchanged},
    {"small_file_size_from_416",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */57\r\n\r\n",
     0, 57, 416, false, kUnchanged},
    {"416_naming_a_large_file_fails",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */500\r\n\r\n",
     3, 0, 416, false, kUnchanged},
    {"no_last_modified_keeps_now",
     "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 0, 1000, 200, false,
     kUnchanged},
    {"unparseable_last_modified_keeps_now",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
     "Last-Modified: Sun Nov  6 08:49:37 1994\r\n\r\n",
     0, 5, 200, false, kUnchanged},
    {"rfc850_last_modified_keeps_now",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
     "Last-Modified: Sunday, 06-Nov-94 08:49:37 GMT\r\n\r\n",
     0, 5, 200, false, kUnchanged},
    {"last_modified_in_unended_last_line_read",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
     "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT",
     0, 5, 200, true, kUnchanged},
    {"missing_content_length_fails", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", 3,
     0, 200, false, kUnchanged},
    {"content_length_in_unended_last_line_read",
     "HTTP/1.1 200 OK\r\nContent-Length: 5", 0, 5, 200, false, kUnchanged},
    {"disagreeing_content_lengths_fail",
     "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 20\r\n\r\n", 3,
     0, 200, false, kUnchanged},
    {"repeated_equal_content_lengths_read",
     "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 10\r\n\r\n", 0,
     10, 200, false, kUnchanged},
    {"field_matched_by_whole_name_only",
     "HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\nContent-Length: 9\r\n\r\n", 0,
     9, 200, false, kUnchanged},
    {"blank_before_colon_fails",
     "HTTP/1.1 200 OK\r\nContent-Length : 9\r\n\r\n", 3, 0, 0, false,
     kUnchanged},
    {"field_only_in_body_not_read",
     "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nbody content-length: 42\r\n", 3, 0,
     200, false, kUnchanged},
    {"line_without_colon_fails",
     "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n34\r\n\r\n", 3, 0, 0, false,
     kUnchanged},
    {"names_matched_case_blind",
     "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 5\r\nLAST-MODIFIED: SUN, 06 NOV 1994 "
     "08:49:37 GMT\r\n",
     0, 5, 200, true, kUnchanged},
    {"length_trimmed_digits_only",
     "HTTP/1.1 200 OK\r\nContent-Length: \t 77  \r\n", 0, 77, 200, false,
     kUnchanged},
    {"length_with_letters_fails",
     "HTTP/1.1 200 OK\r\nContent-Length: 77abc\r\n", 3, 0, 200, false,
     kUnchanged},
    {"empty_length_fails", "HTTP/1.1 200 OK\r\nContent-Length:\r\n", 3, 0, 200,
     false, kUnchanged},
    {"signed_length_fails", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n", 3, 0,
     200, false, kUnchanged},
    {"largest_32_bit_length_accepted",
     "HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n", 0, 2147483647, 200,
     false, kUnchanged},
    {"length_of_2_gib_refused_not_wrapped",
     "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n", 3, 0, 200, false,
     kUnchanged},
    {"length_of_4_gib_refused_not_wrapped_to_zero",
     "HTTP/1.1 200 OK\r\nContent-Length: 4294967396\r\n", 3, 0, 200, false,
     kUnchanged},
    {"negative_length_refused", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n", 3,
     0, 200, false, kUnchanged},
    // Status line.
    {"empty_text_fails", "", 3, 0, 0, false, kUnchanged},
    {"no_line_end_no_length_fails", "HTTP/1.1 200 OK", 3, 0, 200, false,
     kUnchanged},
    {"not_http_fails", "ICY 200 OK\r\nContent-Length: 5\r\n", 3, 0, 0, false,
     kUnchanged},
    {"status_without_reason_phrase_read",
     "HTTP/1.1 200\r\nContent-Length: 5\r\n", 0, 5, 200, false, kUnchanged},
    {"trailing_blank_after_code_read", "HTTP/1.1 200 \r\nContent-Length: 5\r\n",
     0, 5, 200, false, kUnchanged},
    {"two_blanks_before_code_read",
     "HTTP/1.1  206 Partial Content\r\nContent-Length: 5\r\n"
     "Content-Range: bytes 100-104/105\r\n",
     0, 5, 206, false, kUnchanged},
    {"non_numeric_status_fails", "HTTP/1.1 abc def\r\nContent-Length: 3\r\n", 3,
     0, 0, false, kUnchanged},
    {"four_digit_status_fails", "HTTP/1.1 2000 X\r\nContent-Length: 3\r\n", 3,
     0, 0, false, kUnchanged},
    {"informational_status_fails",
     "HTTP/1.1 100 Continue\r\nContent-Length: 3\r\n", 3, 0, 100, false,
     kUnchanged},
    {"status_299_is_success", "HTTP/1.1 299 X\r\nContent-Length: 3\r\n", 0, 3,
     299, false, kUnchanged},
    {"status_400_fails", "HTTP/1.1 400 Bad\r\nContent-Length: 3\r\n", 3, 0, 400,
     false, kUnchanged},
    {"status_416_fails",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 3\r\n", 3, 0, 416,
     false, kUnchanged},
    {"status_499_fails", "HTTP/1.1 499 X\r\nContent-Length: 3\r\n", 3, 0, 499,
     false, kUnchanged},
    {"status_500_server_error", "HTTP/1.1 500 Oops\r\nContent-Length: 3\r\n", 1,
     0, 500, false, kUnchanged},
    {"status_999_server_error", "HTTP/1.1 999 X\r\n", 1, 0, 999, false,
     kUnchanged},
    {"negative_status_fails", "HTTP/1.1 -1 X\r\n", 3, 0, 0, false, kUnchanged},
    {"status_304_without_location_fails", "HTTP/1.1 304 Not Modified\r\n\r\n",
     3, 0, 304, false, kUnchanged},
    {"location_in_unended_last_line_read",
     "HTTP/1.1 301 Moved\r\nLocation: /x",
     2,
     0,
     301,
     false,
     {kStart, "h", "/x", 80}},
    {"location_with_blank_refused",
     "HTTP/1.1 302 Found\r\nLocation: /p q\r\n",
     3,
     0,
     302,
     false,
     {kStart, "h", "/a/f.exe", 80}},
    {"location_with_bare_cr_refused",
     "HTTP/1.1 302 Found\r\nLocation: /p\rhost: evil\r\n",
     3,
     0,
     302,
     false,
     {kStart, "h", "/a/f.exe", 80}},
    // Redirect branch.
    {"absolute_target_lower_cased",
     "HTTP/1.1 302 Found\r\nLocation: http://Other:81/B/G.exe\r\n\r\n",
     2,
     0,
     302,
     false,
     {"http://other:81/b/g.exe", "other", "/b/g.exe", 81}},
    {"redirect_ignores_content_length",
     "HTTP/1.1 302 Found\r\nContent-Length: 50\r\nLocation: /x\r\n",
     2,
     0,
     302,
     false,
     {kStart, "h", "/x", 80}},
    {"status_399_is_redirect",
     "HTTP/1.1 399 X\r\nLocation: /x\r\n",
     2,
     0,
     399,
     false,
     {kStart, "h", "/x", 80}},
    {"absolute_marker_anywhere_refused_by_url_parse",
     "HTTP/1.1 302 Found\r\nLocation: x-http://other/g\r\n",
     3,
     0,
     302,
     false,
     {"x-http://other/g", "", "", 0}},
    {"root_relative_changes_path_only",
     "HTTP/1.1 301 Moved\r\nLocation: /New/Path?q=1\r\n",
     2,
     0,
     301,
     false,
     {kStart, "h", "/new/path?q=1", 80}},
    {"root_relative_backslashes_become_slashes",
     "HTTP/1.1 301 Moved\r\nLocation: \\d\\g.exe\r\n",
     2,
     0,
     301,
     false,
     {kStart, "h", "/d/g.exe", 80}},
    {"root_relative_with_http_in_query_taken_as_absolute",
     "HTTP/1.1 301 Moved\r\nLocation: /go?to=http://x\r\n",
     3,
     0,
     301,
     false,
     {"/go?to=http://x", "", "", 0}},
    {"relative_replaces_file_name",
     "HTTP/1.1 302 Found\r\nLocation: g.exe\r\n",
     2,
     0,
     302,
     false,
     {"http://h/a/g.exe", "h", "/a/g.exe", 80}},
    {"relative_one_up",
     "HTTP/1.1 302 Found\r\nLocation: ../g.exe\r\n",
     2,
     0,
     302,
     false,
     {"http://h/g.exe", "h", "/g.exe", 80}},
    {"relative_two_up_runs_into_host_refused",
     "HTTP/1.1 302 Found\r\nLocation: ../../g.exe\r\n",
     3,
     0,
     302,
     false,
     {"http://g.exe", "", "", 0}},
    {"relative_two_up_names_new_host",
     "HTTP/1.1 302 Found\r\nLocation: ../../d/g.exe\r\n",
     2,
     0,
     302,
     false,
     {"http://d/g.exe", "d", "/g.exe", 80}},
    {"dotdot_in_middle_counts_and_cuts",
     "HTTP/1.1 302 Found\r\nLocation: d/../g.exe\r\n",
     2,
     0,
     302,
     false,
     {"http://h/g.exe", "h", "/g.exe", 80}},
    {"every_dotdot_counts",
     "HTTP/1.1 302 Found\r\nLocation: a/../b/../g.exe\r\n",
     3,
     0,
     302,
     false,
     {"http://g.exe", "", "", 0}},
    {"relative_backslashes_become_slashes",
     "HTTP/1.1 302 Found\r\nLocation: ..\\g.exe\r\n",
     2,
     0,
     302,
     false,
     {"http://h/g.exe", "h", "/g.exe", 80}},
    {"empty_target_asks_for_directory",
     "HTTP/1.1 302 Found\r\nLocation:\r\n",
     2,
     0,
     302,
     false,
     {"http://h/a/", "h", "/a/", 80}},
    {"https_target_resolved_as_relative",
     "HTTP/1.1 302 Found\r\nLocation: https://s/x.exe\r\n",
     2,
     0,
     302,
     false,
     {"http://h/a/https://s/x.exe", "h", "/a/https://s/x.exe", 80}},
    {"content_location_is_not_the_target",
     "HTTP/1.1 302 Found\r\nContent-Location: /first\r\nLocation: /second\r\n",
     2,
     0,
     302,
     false,
     {kStart, "h", "/second", 80}},
};

class HeaderTable : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTable, ClassifiesAndFollows) {
  const HeaderCase& c = GetParam();
  testing::FakeEnv fake;
  fake.clock.now_seconds = kNow;
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl(kStart));

  int32_t length = -7;
  int32_t status = -7;
  Time64 modified(1);
  EXPECT_EQ(c.result,
            d.ParseResponseHeader(c.text, &length, &status, &modified));
  EXPECT_EQ(c.length, length);
  EXPECT_EQ(c.status, status);
  int64_t want_time = kNow;
  if (c.dated) want_time = fake.clock.MakeLocalTime({1994, 11, 6, 8, 49, 37});
  EXPECT_EQ(want_time, modified.seconds());

  if (c.after.url == nullptr) {
    EXPECT_EQ("", d.referer());
    EXPECT_EQ(kStart, d.current_url());
    EXPECT_EQ("h", d.host());
    EXPECT_EQ("/a/f.exe", d.path());
    EXPECT_EQ(80, d.port());
  } else {
    // Every redirect that reaches its target names the answering URL as
    // referer, followed or not.
    EXPECT_EQ(kStart, d.referer());
    EXPECT_EQ(c.after.url, d.current_url());
    EXPECT_EQ(c.after.host, d.host());
    EXPECT_EQ(c.after.path, d.path());
    EXPECT_EQ(c.after.port, d.port());
  }
}

INSTANTIATE_TEST_SUITE_P(ResponseHeader, HeaderTable,
                         ::testing::ValuesIn(kHeaderCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

TEST(ResponseHeaderTest, SecondRedirectsRefererIsFirstTarget) {
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl(kStart));
  int32_t length;
  int32_t status;
  Time64 modified;
  ASSERT_EQ(2,
            d.ParseResponseHeader("HTTP/1.1 302 F\r\nLocation: http://b/x\r\n",
                                  &length, &status, &modified));
  ASSERT_EQ(2,
            d.ParseResponseHeader("HTTP/1.1 302 F\r\nLocation: http://c/y\r\n",
                                  &length, &status, &modified));
  EXPECT_EQ("http://b/x", d.referer());
  EXPECT_EQ("http://c/y", d.current_url());
  // A root-relative redirect keeps the current URL, so the next referer is
  // still the URL before it.
  ASSERT_EQ(2, d.ParseResponseHeader("HTTP/1.1 302 F\r\nLocation: /z\r\n",
                                     &length, &status, &modified));
  ASSERT_EQ(2, d.ParseResponseHeader("HTTP/1.1 302 F\r\nLocation: /w\r\n",
                                     &length, &status, &modified));
  EXPECT_EQ("http://c/y", d.referer());
  EXPECT_EQ("/w", d.path());
}

TEST(ResponseHeaderTest, CallersTextIsNotLowerCased) {
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl(kStart));
  char text[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n";
  int32_t length;
  int32_t status;
  Time64 modified;
  d.ParseResponseHeader(text, &length, &status, &modified);
  EXPECT_STREQ("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", text);
}

}  // namespace
}  // namespace vorn
