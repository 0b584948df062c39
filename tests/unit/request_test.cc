// The probe, segment and tunnel requests, compared as whole byte strings.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

HttpUrl Url(const std::string& text) {
  HttpUrl url;
  EXPECT_EQ(UrlError::kNone, HttpUrl::Parse(text, &url)) << text;
  return url;
}

// The route of a row: direct, or an HTTP proxy with the row's credentials.
platform::ProxyRoute RouteOf(bool proxied, const char* authorization) {
  if (!proxied) return platform::ProxyRoute();
  return testing::HttpProxy("proxy", 3128, authorization);
}

struct ProbeRequestCase {
  const char* name;
  const char* referer;
  const char* url;
  bool head;
  const char* bytes;
  // Through an HTTP proxy, with this Proxy-Authorization value if any.
  bool proxied = false;
  const char* authorization = "";
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const ProbeRequestCase& c, std::ostream* os) { *os << c.name; }

const ProbeRequestCase kProbeCases[] = {
    {"get_without_referer", "", "http://h/a/f.exe", false,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nConnection: close\r\nRange: "
     "bytes=100-\r\n\r\n"},
    {"head_method", "", "http://h/a/f.exe", true,
     "HEAD /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nConnection: close\r\nRange: "
     "bytes=100-\r\n\r\n"},
    {"port_in_host_line", "", "http://h:8080/x?y=1", false,
     "GET /x?y=1 HTTP/1.1\r\nHost: h:8080\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n"},
    {"https_default_port_not_in_host_line", "", "https://h:443/x", false,
     "GET /x HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nConnection: close\r\nRange: "
     "bytes=100-\r\n\r\n"},
    {"ipv6_host_in_brackets", "", "http://[::1]:8080/x", false,
     "GET /x HTTP/1.1\r\nHost: [::1]:8080\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n"},
    {"referer_after_redirect", "http://first/a.exe", "http://second:81/b.exe",
     false,
     "GET /b.exe HTTP/1.1\r\nHost: second:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://first/a.exe\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n"},
    {"target_sent_unescaped_case_and_query_kept", "",
     "http://h/a%20B/\xd6\xd0.Exe?K=V", false,
     "GET /a%20B/\xd6\xd0.Exe?K=V HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n"},
    {"proxy_absolute_form_with_port", "", "http://h:8080/x?y=1", false,
     "GET http://h:8080/x?y=1 HTTP/1.1\r\nHost: h:8080\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n",
     true},
    {"proxy_port_80_not_written", "", "http://h/a/f.exe", true,
     "HEAD http://h/a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n",
     true},
    {"proxy_credentials_after_host_and_referer_kept", "http://first/a.exe",
     "http://second:81/b.exe", false,
     "GET http://second:81/b.exe HTTP/1.1\r\nHost: second:81\r\n"
     "Proxy-Authorization: Basic dm9ybjpwdw==\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://first/a.exe\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n",
     true, "Basic dm9ybjpwdw=="},
    // Inside the tunnel the server is spoken to directly: the proxy's
    // credentials must not reach it.
    {"https_through_proxy_direct_form_without_credentials", "",
     "https://h/x", false,
     "GET /x HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nConnection: close\r\nRange: "
     "bytes=100-\r\n\r\n",
     true, "Basic dm9ybjpwdw=="},
};

class ProbeRequestTable : public ::testing::TestWithParam<ProbeRequestCase> {};

TEST_P(ProbeRequestTable, ExactBytes) {
  const ProbeRequestCase& c = GetParam();
  EXPECT_EQ(c.bytes, BuildProbeRequest(Url(c.url), c.referer, c.head,
                                       RouteOf(c.proxied, c.authorization)));
}

INSTANTIATE_TEST_SUITE_P(Request, ProbeRequestTable,
                         ::testing::ValuesIn(kProbeCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

struct SegmentRequestCase {
  const char* name;
  const char* referer;
  bool ranged;
  int64_t start;
  int64_t end;
  const char* bytes;
  bool proxied = false;
  const char* authorization = "";
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const SegmentRequestCase& c, std::ostream* os) { *os << c.name; }

const SegmentRequestCase kSegmentCases[] = {
    {"ranged_segment", "", true, 500, 749,
     "GET /a/f.exe HTTP/1.1\r\nHost: h:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Range: bytes=500-749\r\n\r\n"},
    {"ranged_segment_with_referer", "http://r/x", true, 0, 99,
     "GET /a/f.exe HTTP/1.1\r\nHost: h:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://r/x\r\n"
     "Range: bytes=0-99\r\n\r\n"},
    {"offsets_past_4_gib_written_whole", "", true, 5368709000, 5368709122,
     "GET /a/f.exe HTTP/1.1\r\nHost: h:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Range: bytes=5368709000-5368709122\r\n\r\n"},
    {"no_range_line_for_the_whole_file", "", false, 500, 749,
     "GET /a/f.exe HTTP/1.1\r\nHost: h:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n"},
    {"whole_file_with_referer", "http://r/x", false, 0, 99,
     "GET /a/f.exe HTTP/1.1\r\nHost: h:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://r/x\r\n\r\n"},
    {"proxy_ranged_segment", "", true, 500, 749,
     "GET http://h:81/a/f.exe HTTP/1.1\r\nHost: h:81\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Range: bytes=500-749\r\n\r\n",
     true},
    {"proxy_credentials_for_the_whole_file", "http://r/x", false, 0, 99,
     "GET http://h:81/a/f.exe HTTP/1.1\r\nHost: h:81\r\n"
     "Proxy-Authorization: Basic dm9ybjo=\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://r/x\r\n\r\n",
     true, "Basic dm9ybjo="},
};

class SegmentRequestTable
    : public ::testing::TestWithParam<SegmentRequestCase> {};

TEST_P(SegmentRequestTable, ExactBytes) {
  const SegmentRequestCase& c = GetParam();
  SegmentRange range;
  range.start = c.start;
  range.end = c.end;
  EXPECT_EQ(c.bytes, BuildSegmentRequest(Url("http://h:81/a/f.exe"),
                                         c.referer, c.ranged ? &range : nullptr,
                                         RouteOf(c.proxied, c.authorization)));
}

INSTANTIATE_TEST_SUITE_P(Request, SegmentRequestTable,
                         ::testing::ValuesIn(kSegmentCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// The tunnel's authority always names the port, the default one too.
TEST(RequestTest, ConnectRequestBytes) {
  struct {
    const char* url;
    const char* authorization;
    const char* bytes;
  } cases[] = {
      {"https://h/x", "", "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n"},
      {"https://h:8443/x", "Basic dm9ybjpwdw==",
       "CONNECT h:8443 HTTP/1.1\r\nHost: h:8443\r\n"
       "Proxy-Authorization: Basic dm9ybjpwdw==\r\n\r\n"},
      {"https://[::1]/x", "",
       "CONNECT [::1]:443 HTTP/1.1\r\nHost: [::1]:443\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.bytes,
              BuildConnectRequest(Url(c.url), RouteOf(true, c.authorization)))
        << c.url;
  }
}

}  // namespace
}  // namespace vorn
