// ParseUrl: how URLs split into host, path and port, and what a failed call
// leaves behind.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

struct UrlCase {
  const char* name;  // the fault this row catches
  const char* url;
  bool ok;
  const char* host;
  const char* path;
  uint16_t port;
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.name; }

// Rows that succeed check host, path, port and the stored URL; rows that
// fail check the cleared fields.
const UrlCase kUrlCases[] = {
    {"plain", "http://srv/dir/a.exe", true, "srv", "/dir/a.exe", 80},
    {"scheme_case_ignored_host_path_case_kept", "HTTP://Srv/Dir/A.exe", true,
     "Srv", "/Dir/A.exe", 80},
    {"mixed_case_scheme", "hTtP://h/x", true, "h", "/x", 80},
    {"explicit_port", "http://h:8080/x", true, "h", "/x", 8080},
    {"port_wraps_to_16_bits", "http://h:70000/x", true, "h", "/x", 4464},
    {"negative_port_wraps", "http://h:-1/x", true, "h", "/x", 65535},
    {"port_digits_then_letters", "http://h:12ab/x", true, "h", "/x", 12},
    {"empty_port_is_zero", "http://h:/x", true, "h", "/x", 0},
    {"blank_in_port_refused", "http://h: 81/x", false, "", "", 0},
    {"userinfo_stays_in_host", "http://user@h/x", true, "user@h", "/x", 80},
    {"userinfo_password_splits_at_first_colon", "http://u:pw@h/x", true, "u",
     "/x", 0},
    {"empty_host", "http:///x", true, "", "/x", 80},
    {"query_and_fragment_kept", "http://h/a?b=http://c#f", true, "h",
     "/a?b=http://c#f", 80},
    {"trailing_blanks_refused", "http://h/a.exe  ", false, "", "", 0},
    {"line_break_in_path_refused", "http://h/a\r\nHost: evil/x", false, "", "",
     0},
    {"bare_lf_refused", "http://h/a\nx", false, "", "", 0},
    {"delete_byte_refused", "http://h/a\x7f", false, "", "", 0},
    {"root_path_only", "http://h/", true, "h", "/", 80},
    {"https_refused", "https://h/x", false, "", "", 0},
    {"ftp_refused", "ftp://h/x", false, "", "", 0},
    {"no_separator", "h/x", false, "", "", 0},
    {"no_slash_after_host", "http://h", false, "", "", 0},
    {"no_slash_after_host_with_port", "http://h:81", false, "", "", 0},
    {"scheme_with_leading_garbage", "xhttp://h/x", false, "", "", 0},
};

class UrlTable : public ::testing::TestWithParam<UrlCase> {};

TEST_P(UrlTable, SplitsOrFailsAsExpected) {
  const UrlCase& c = GetParam();
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl("http://old:99/before"));
  EXPECT_EQ(c.ok, d.ParseUrl(c.url));
  EXPECT_EQ(c.host, d.host());
  EXPECT_EQ(c.path, d.path());
  EXPECT_EQ(c.port, d.port());
  // Success stores the text; failure after the emptiness check keeps the
  // previous current URL.
  EXPECT_EQ(c.ok ? std::string(c.url) : std::string("http://old:99/before"),
            d.current_url());
}

INSTANTIATE_TEST_SUITE_P(Url, UrlTable, ::testing::ValuesIn(kUrlCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

TEST(UrlTest, BlankOnlyTextChangesNothing) {
  for (const char* blank : {"", "   ", " \t\r\n\v\f"}) {
    testing::FakeEnv fake;
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://keep:81/me"));
    EXPECT_FALSE(d.ParseUrl(blank));
    EXPECT_EQ("keep", d.host());
    EXPECT_EQ("/me", d.path());
    EXPECT_EQ(81, d.port());
    EXPECT_EQ("http://keep:81/me", d.current_url());
  }
}

TEST(UrlTest, LeadingWhiteSpaceIsDroppedFromStoredUrl) {
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl(" \t\r\nhttp://h/x"));
  EXPECT_EQ("h", d.host());
  EXPECT_EQ("/x", d.path());
  EXPECT_EQ("http://h/x", d.current_url());
}

TEST(UrlTest, CallersTextIsNotChanged) {
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  std::string url = "  HTTP://H/X";
  ASSERT_TRUE(d.ParseUrl(url));
  EXPECT_EQ("  HTTP://H/X", url);
}

}  // namespace
}  // namespace vorn
