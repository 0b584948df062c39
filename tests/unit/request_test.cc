// The probe and segment requests, compared as whole byte strings.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

// Points `d` at `url`; with a non-empty `from`, gets there by a redirect
// answered by `from`, which makes `from` the referer.
void Point(Downloader* d, const std::string& from, const std::string& url) {
  if (from.empty()) {
    ASSERT_TRUE(d->ParseUrl(url));
    return;
  }
  ASSERT_TRUE(d->ParseUrl(from));
  int32_t length;
  int32_t status;
  Time64 modified;
  std::string answer = "HTTP/1.1 302 Found\r\nLocation: " + url + "\r\n\r\n";
  ASSERT_EQ(kProbeRedirected, d->ParseResponseHeader(answer.c_str(), &length,
                                                     &status, &modified));
}

struct ProbeRequestCase {
  const char* name;
  const char* from;
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
    {"port_never_in_host_line", "", "http://h:8080/x?y=1", false,
     "GET /x?y=1 HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nConnection: close\r\nRange: "
     "bytes=100-\r\n\r\n"},
    {"referer_after_redirect", "http://first/a.exe", "http://second:81/b.exe",
     false,
     "GET /b.exe HTTP/1.1\r\nHost: second\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://first/a.exe\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n"},
    {"path_sent_unescaped", "", "http://h/a%20b/\xd6\xd0.exe", false,
     "GET /a%20b/\xd6\xd0.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n"},
    {"proxy_absolute_form_with_port", "", "http://h:8080/x?y=1", false,
     "GET http://h:8080/x?y=1 HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
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
     "GET http://second:81/b.exe HTTP/1.1\r\nHost: second\r\n"
     "Proxy-Authorization: Basic dm9ybjpwdw==\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://first/a.exe\r\nConnection: close\r\n"
     "Range: bytes=100-\r\n\r\n",
     true, "Basic dm9ybjpwdw=="},
};

// The route of a row: direct, or an HTTP proxy with the row's credentials.
platform::ProxyRoute RouteOf(bool proxied, const char* authorization) {
  if (!proxied) return platform::ProxyRoute();
  return testing::HttpProxy("proxy", 3128, authorization);
}

class ProbeRequestTable : public ::testing::TestWithParam<ProbeRequestCase> {};

TEST_P(ProbeRequestTable, ExactBytes) {
  const ProbeRequestCase& c = GetParam();
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  Point(&d, c.from, c.url);
  if (!c.proxied) {
    EXPECT_EQ(c.bytes, d.BuildProbeRequest(c.head));
  }
  EXPECT_EQ(c.bytes,
            d.BuildProbeRequest(c.head, RouteOf(c.proxied, c.authorization)));
}

INSTANTIATE_TEST_SUITE_P(Request, ProbeRequestTable,
                         ::testing::ValuesIn(kProbeCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

struct SegmentRequestCase {
  const char* name;
  const char* from;
  int32_t range_supported;
  int index;
  int32_t start;
  int32_t end;
  const char* bytes;
  bool proxied = false;
  const char* authorization = "";
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const SegmentRequestCase& c, std::ostream* os) { *os << c.name; }

const SegmentRequestCase kSegmentCases[] = {
    {"ranged_segment", "", 1, 2, 500, 749,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nRange: bytes=500-749\r\n\r\n"},
    {"ranged_segment_with_referer", "http://r/x", 1, 0, 0, 99,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nReferer: http://r/x\r\n"
     "Range: bytes=0-99\r\n\r\n"},
    {"any_non_zero_flag_means_ranges", "", 7, 3, 1000, 1003,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nRange: bytes=1000-1003\r\n\r\n"},
    {"negative_values_printed_signed", "", 1, 1, -1, -1,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nRange: bytes=-1--1\r\n\r\n"},
    {"no_range_line_without_range_support", "", 0, 2, 500, 749,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\n\r\n"},
    {"no_range_support_with_referer", "http://r/x", 0, 0, 0, 99,
     "GET /a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nPragma: no-cache\r\n"
     "Cache-Control: no-cache\r\nReferer: http://r/x\r\n\r\n"},
    {"proxy_ranged_segment", "", 1, 2, 500, 749,
     "GET http://h:81/a/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Range: bytes=500-749\r\n\r\n",
     true},
    {"proxy_credentials_without_range_support", "http://r/x", 0, 0, 0, 99,
     "GET http://h:81/a/f.exe HTTP/1.1\r\nHost: h\r\n"
     "Proxy-Authorization: Basic dm9ybjo=\r\nAccept: */*\r\n"
     "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
     "Referer: http://r/x\r\n\r\n",
     true, "Basic dm9ybjo="},
};

class SegmentRequestTable
    : public ::testing::TestWithParam<SegmentRequestCase> {};

TEST_P(SegmentRequestTable, ExactBytes) {
  const SegmentRequestCase& c = GetParam();
  testing::FakeEnv fake;
  Downloader d(&fake.env);
  Point(&d, c.from, "http://h:81/a/f.exe");
  d.SetRangeSupportedForTesting(c.range_supported);
  // Other segments hold different values, so a wrong index shows.
  for (int i = 0; i < kSegmentCount; ++i) {
    d.mutable_record()->ranges[i].start = 10000 + i;
    d.mutable_record()->ranges[i].end = 20000 + i;
  }
  d.mutable_record()->ranges[c.index].start = c.start;
  d.mutable_record()->ranges[c.index].end = c.end;
  if (!c.proxied) {
    EXPECT_EQ(c.bytes, d.BuildSegmentRequest(c.index));
  }
  EXPECT_EQ(c.bytes, d.BuildSegmentRequest(
                         c.index, RouteOf(c.proxied, c.authorization)));
}

INSTANTIATE_TEST_SUITE_P(Request, SegmentRequestTable,
                         ::testing::ValuesIn(kSegmentCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorn
