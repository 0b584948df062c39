// HttpUrl: how texts split into scheme, host, port and target, what is
// refused, and how a redirect's reference resolves against a base.
#include "download/http_url.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace vorn {
namespace {

struct UrlCase {
  const char* name;  // the fault this row catches
  const char* text;
  UrlError error;
  bool secure = false;
  const char* host = "";
  uint16_t port = 0;
  const char* target = "";
  const char* host_field = "";
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.name; }

const UrlCase kUrlCases[] = {
    {"plain", "http://srv/dir/a.exe", UrlError::kNone, false, "srv", 80,
     "/dir/a.exe", "srv"},
    {"scheme_case_ignored_host_and_target_case_kept", "HTTP://Srv/Dir/A.exe",
     UrlError::kNone, false, "Srv", 80, "/Dir/A.exe", "Srv"},
    {"mixed_case_https", "hTtPs://h/x", UrlError::kNone, true, "h", 443, "/x",
     "h"},
    {"explicit_port_in_host_field", "http://h:8080/x", UrlError::kNone, false,
     "h", 8080, "/x", "h:8080"},
    {"default_port_left_out_of_host_field", "http://h:80/x", UrlError::kNone,
     false, "h", 80, "/x", "h"},
    {"http_default_port_is_not_https_default", "https://h:80/x",
     UrlError::kNone, true, "h", 80, "/x", "h:80"},
    {"highest_port", "http://h:65535/x", UrlError::kNone, false, "h", 65535,
     "/x", "h:65535"},
    {"port_past_16_bits_refused", "http://h:70000/x", UrlError::kBadPort},
    {"port_65536_refused", "http://h:65536/x", UrlError::kBadPort},
    {"port_zero_refused", "http://h:0/x", UrlError::kBadPort},
    {"negative_port_refused", "http://h:-1/x", UrlError::kBadPort},
    {"port_digits_then_letters_refused", "http://h:12ab/x", UrlError::kBadPort},
    {"empty_port_refused", "http://h:/x", UrlError::kBadPort},
    {"blank_in_port_refused", "http://h: 81/x", UrlError::kUnsafe},
    {"ipv6_literal", "http://[::1]:8080/x", UrlError::kNone, false, "::1",
     8080, "/x", "[::1]:8080"},
    {"ipv6_literal_default_port", "https://[2001:db8::7]/x", UrlError::kNone,
     true, "2001:db8::7", 443, "/x", "[2001:db8::7]"},
    {"ipv6_literal_unclosed_refused", "http://[::1/x", UrlError::kNotHttp},
    {"ipv6_literal_with_a_name_refused", "http://[h]/x", UrlError::kNotHttp},
    {"userinfo_refused", "http://user@h/x", UrlError::kNotHttp},
    {"userinfo_with_password_refused", "http://u:pw@h/x", UrlError::kNotHttp},
    {"empty_host_refused", "http:///x", UrlError::kNotHttp},
    {"query_kept_fragment_dropped", "http://h/a?b=http://c#f",
     UrlError::kNone, false, "h", 80, "/a?b=http://c", "h"},
    {"mixed_case_target_and_query_kept_byte_for_byte",
     "http://h/Dir/A.Exe?Key=VaLue&q=%2F", UrlError::kNone, false, "h", 80,
     "/Dir/A.Exe?Key=VaLue&q=%2F", "h"},
    {"root_target_only", "http://h/", UrlError::kNone, false, "h", 80, "/",
     "h"},
    {"trailing_blanks_refused", "http://h/a.exe  ", UrlError::kUnsafe},
    {"line_break_in_target_refused", "http://h/a\r\nHost: evil/x",
     UrlError::kUnsafe},
    {"bare_lf_refused", "http://h/a\nx", UrlError::kUnsafe},
    {"delete_byte_refused", "http://h/a\x7f", UrlError::kUnsafe},
    {"ftp_refused", "ftp://h/x", UrlError::kNotHttp},
    {"no_separator", "h/x", UrlError::kNotHttp},
    {"one_slash_only", "http:/h/x", UrlError::kNotHttp},
    {"no_slash_after_host", "http://h", UrlError::kNotHttp},
    {"no_slash_after_host_with_port", "http://h:81", UrlError::kNotHttp},
    {"scheme_with_leading_garbage", "xhttp://h/x", UrlError::kNotHttp},
    {"empty_text", "", UrlError::kNotHttp},
    {"white_space_only", " \t\r\n\v\f", UrlError::kNotHttp},
};

class UrlTable : public ::testing::TestWithParam<UrlCase> {};

// Rows that succeed check every part and the text kept as given; rows that
// fail check that the output is untouched.
TEST_P(UrlTable, SplitsOrRefuses) {
  const UrlCase& c = GetParam();
  HttpUrl url;
  ASSERT_EQ(UrlError::kNone, HttpUrl::Parse("http://old:99/before", &url));
  ASSERT_EQ(c.error, HttpUrl::Parse(c.text, &url));
  if (c.error != UrlError::kNone) {
    EXPECT_EQ("old", url.host);
    EXPECT_EQ(99, url.port);
    EXPECT_EQ("/before", url.target);
    EXPECT_EQ("http://old:99/before", url.text);
    return;
  }
  EXPECT_EQ(c.secure, url.secure);
  EXPECT_EQ(c.host, url.host);
  EXPECT_EQ(c.port, url.port);
  EXPECT_EQ(c.target, url.target);
  EXPECT_EQ(c.host_field, url.HostField());
  // The text as given, less a fragment (it never goes on the wire, the
  // Referer included).
  const std::string given = c.text;
  EXPECT_EQ(given.substr(0, given.find('#')), url.text);
}

INSTANTIATE_TEST_SUITE_P(Url, UrlTable, ::testing::ValuesIn(kUrlCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

TEST(UrlTest, LeadingWhiteSpaceIsDroppedFromText) {
  HttpUrl url;
  ASSERT_EQ(UrlError::kNone, HttpUrl::Parse(" \t\r\nhttp://h/x", &url));
  EXPECT_EQ("h", url.host);
  EXPECT_EQ("/x", url.target);
  EXPECT_EQ("http://h/x", url.text);
}

struct ResolveCase {
  const char* name;
  const char* reference;
  UrlError error;
  const char* url;  // the URL the reference names, written out
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.name; }

constexpr char kBase[] = "http://a/b/c/d;p?q";

// The first block is from RFC 3986 section 5.4, against its base.
const ResolveCase kResolveCases[] = {
    {"rfc_g", "g", UrlError::kNone, "http://a/b/c/g"},
    {"rfc_dot_g", "./g", UrlError::kNone, "http://a/b/c/g"},
    {"rfc_g_slash", "g/", UrlError::kNone, "http://a/b/c/g/"},
    {"rfc_absolute_path", "/g", UrlError::kNone, "http://a/g"},
    {"rfc_network_path", "//g", UrlError::kNone, "http://g/"},
    {"rfc_query_only", "?y", UrlError::kNone, "http://a/b/c/d;p?y"},
    {"rfc_g_query", "g?y", UrlError::kNone, "http://a/b/c/g?y"},
    {"rfc_fragment_dropped", "g#s", UrlError::kNone, "http://a/b/c/g"},
    {"rfc_empty_is_the_base", "", UrlError::kNone, "http://a/b/c/d;p?q"},
    {"rfc_dot", ".", UrlError::kNone, "http://a/b/c/"},
    {"rfc_one_up", "../g", UrlError::kNone, "http://a/b/g"},
    {"rfc_two_up", "../../g", UrlError::kNone, "http://a/g"},
    {"rfc_up_past_the_root_stops_there", "../../../g", UrlError::kNone,
     "http://a/g"},
    {"rfc_dot_segment_in_absolute_path", "/./g", UrlError::kNone,
     "http://a/g"},
    {"rfc_segment_then_up", "g;x=1/../y", UrlError::kNone, "http://a/b/c/y"},
    // Beyond the examples.
    {"absolute_kept_byte_for_byte", "http://Other:81/B/G.exe?K=V",
     UrlError::kNone, "http://Other:81/B/G.exe?K=V"},
    {"absolute_to_https", "https://s/x.exe", UrlError::kNone,
     "https://s/x.exe"},
    {"network_path_with_port", "//g:8080/x", UrlError::kNone,
     "http://g:8080/x"},
    {"absolute_path_case_and_query_kept", "/New/Path?q=A", UrlError::kNone,
     "http://a/New/Path?q=A"},
    {"url_in_query_is_not_absolute", "/go?to=http://x", UrlError::kNone,
     "http://a/go?to=http://x"},
    {"dot_segments_in_query_kept", "../g?to=../x", UrlError::kNone,
     "http://a/b/g?to=../x"},
    {"backslashes_kept", "..\\g.exe", UrlError::kNone,
     "http://a/b/c/..\\g.exe"},
    {"other_scheme_refused", "x-http://other/g", UrlError::kNotHttp, ""},
    {"blank_refused", "/p q", UrlError::kUnsafe, ""},
    {"carriage_return_refused", "/p\rHost: evil", UrlError::kUnsafe, ""},
    {"bad_port_refused", "http://a:99999/x", UrlError::kBadPort, ""},
};

class ResolveTable : public ::testing::TestWithParam<ResolveCase> {};

// The resolved value must be the URL of the row in every part, and its text
// (the next referer) must name that URL too.
TEST_P(ResolveTable, ResolvesAgainstTheBase) {
  const ResolveCase& c = GetParam();
  HttpUrl base;
  ASSERT_EQ(UrlError::kNone, HttpUrl::Parse(kBase, &base));
  HttpUrl got;
  ASSERT_EQ(c.error, base.Resolve(c.reference, &got));
  if (c.error != UrlError::kNone) return;
  HttpUrl want;
  ASSERT_EQ(UrlError::kNone, HttpUrl::Parse(c.url, &want));
  auto names_want = [&want](const HttpUrl& u) {
    EXPECT_EQ(want.secure, u.secure);
    EXPECT_EQ(want.host, u.host);
    EXPECT_EQ(want.port, u.port);
    EXPECT_EQ(want.target, u.target);
  };
  names_want(got);
  HttpUrl reread;
  ASSERT_EQ(UrlError::kNone, HttpUrl::Parse(got.text, &reread)) << got.text;
  SCOPED_TRACE("its text: " + got.text);
  names_want(reread);
}

INSTANTIATE_TEST_SUITE_P(Url, ResolveTable, ::testing::ValuesIn(kResolveCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorn
