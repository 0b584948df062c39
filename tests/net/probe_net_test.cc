// The size probe against real servers on 127.0.0.1: nginx, Python's
// http.server and the fault server (tests/servers/fault_server.py).
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "tests/net/net_env.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/fake_http.h"

namespace vorn {
namespace {

using nettest::FaultPeerPort;
using nettest::FaultPort;
using nettest::NginxPort;
using nettest::PythonPort;
using nettest::Url;

const platform::Env& RealEnv() { return platform::Env::Default(); }

Time64 Utc(const platform::LocalFields& f) {
  Time64 t;
  EXPECT_TRUE(Time64::FromUtcFields(f.year, f.month, f.day, f.hour, f.minute,
                                    f.second, &t));
  return t;
}

HttpUrl Parsed(const std::string& text) {
  HttpUrl url;
  EXPECT_EQ(UrlError::kNone, HttpUrl::Parse(text, &url)) << text;
  return url;
}

// A probe with time-outs of `ms`.
testing::Probed Probe(const std::string& url, int method = 0,
                      uint32_t ms = 5000) {
  Downloader d(&RealEnv());
  d.SetTimeouts(ms, ms);
  return testing::Probe(d, Parsed(url), method);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

// The fault server's log lines for `tag`, split into fields
// (method, target, referer, range, the request's bytes escaped).
std::vector<std::vector<std::string>> LogOf(uint16_t port,
                                            const std::string& tag) {
  std::vector<std::vector<std::string>> out;
  std::istringstream lines(
      nettest::BodyOf(nettest::FetchRaw(port, "/log?raw=1&tag=" + tag)));
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (;;) {
      size_t tab = line.find('\t', from);
      fields.push_back(
          line.substr(from, tab == std::string::npos ? tab : tab - from));
      if (tab == std::string::npos) break;
      from = tab + 1;
    }
    out.push_back(fields);
  }
  return out;
}

enum class When { kDocroot, k1994, kUndated };

struct NetCase {
  const char* name;
  int server;  // 0 nginx, 1 python, 2 fault
  const char* path;
  int method;
  Outcome outcome;
  int32_t status;
  int64_t size;  // 0 for a failed probe
  bool ranges;
  When when;
  bool etag;
  const char* found_at;  // the path redirected to; nullptr: none
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const NetCase& c, std::ostream* os) { *os << c.name; }

uint16_t PortOf(int server) {
  return server == 0 ? NginxPort() : server == 1 ? PythonPort() : FaultPort();
}

const NetCase kNetCases[] = {
    {"nginx_range_gives_real_size_and_ranges", 0, "/pkg-1003.bin", 0,
     Outcome::kOk, 206, 1003, true, When::kDocroot, true, nullptr},
    {"nginx_binary_body_with_zero_bytes", 0, "/pkg-3145728.bin", 0,
     Outcome::kOk, 206, 3145728, true, When::kDocroot, true, nullptr},
    {"nginx_head", 0, "/pkg-4096.bin", 1, Outcome::kOk, 206, 4096, true,
     When::kDocroot, true, nullptr},
    {"nginx_smallest_probeable_file", 0, "/pkg-101.bin", 0, Outcome::kOk, 206,
     101, true, When::kDocroot, true, nullptr},
    // A file of 100 bytes or less: its size comes with the 416.
    {"nginx_file_of_100_bytes_sized_by_416", 0, "/pkg-100.bin", 0, Outcome::kOk,
     416, 100, false, When::kUndated, false, nullptr},
    {"nginx_missing_file_404", 0, "/no-such-file.bin", 0, Outcome::kRefused,
     404, 0, false, When::kUndated, false, nullptr},
    {"python_ignores_range_true_size_no_ranges", 1, "/pkg-1003.bin", 0,
     Outcome::kOk, 200, 1003, false, When::kDocroot, false, nullptr},
    {"fault_416_small_file", 2, "/416", 0, Outcome::kOk, 416, 50, false,
     When::kUndated, false, nullptr},
    {"fault_500_server_error", 2, "/500", 0, Outcome::kServerError, 500, 0,
     false, When::kUndated, false, nullptr},
    {"fault_503_server_error", 2, "/status/503", 0, Outcome::kServerError, 503,
     0, false, When::kUndated, false, nullptr},
    {"fault_304_without_location", 2, "/status/304", 0,
     Outcome::kUnexpectedStatus, 304, 0, false, When::kUndated, false, nullptr},
    {"fault_endless_header_is_bounded", 2,
     "/file/pkg-1003.bin?fault=endless-header", 0, Outcome::kHeadTooLong, 0, 0,
     false, When::kUndated, false, nullptr},
    {"fault_root_relative_redirect", 2, "/relative/root", 0, Outcome::kOk, 206,
     1000, true, When::kUndated, false, "/final/root"},
    {"fault_relative_up_redirect", 2, "/relative/up", 0, Outcome::kOk, 206,
     1000, true, When::kUndated, false, "/final/up"},
    {"fault_relative_same_directory_redirect", 2, "/relative/same", 0,
     Outcome::kOk, 206, 1000, true, When::kUndated, false,
     "/relative/final-same"},
    // A backslash is no slash: the target resolves as a relative path that
    // the server does not have.
    {"fault_backslash_redirect_kept_as_sent", 2, "/relative/backslash", 0,
     Outcome::kRefused, 404, 0, false, When::kUndated, false,
     "/relative/\\final\\backslash"},
    // The header arrives in pieces, cut at byte offsets of its text
    // "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\nLast-Modified:
    // ..." (see the fault server); it is read whole however it is cut.
    {"split_between_lines_reads_whole_header", 2, "/splitheader?cuts=30,51,98",
     0, Outcome::kOk, 206, 1000, true, When::k1994, false, nullptr},
    {"split_inside_length_value_read_whole", 2, "/splitheader?cuts=47", 0,
     Outcome::kOk, 206, 1000, true, When::k1994, false, nullptr},
    {"split_inside_field_name_read_whole", 2, "/splitheader?cuts=40", 0,
     Outcome::kOk, 206, 1000, true, When::k1994, false, nullptr},
    {"split_inside_status_code_read_whole", 2, "/splitheader?cuts=10", 0,
     Outcome::kOk, 206, 1000, true, When::k1994, false, nullptr},
    {"split_inside_date_read_whole", 2, "/splitheader?cuts=82", 0, Outcome::kOk,
     206, 1000, true, When::k1994, false, nullptr},
};

class ProbeNetTable : public ::testing::TestWithParam<NetCase> {};

TEST_P(ProbeNetTable, AgainstServer) {
  VORN_REQUIRE_SERVERS();
  const NetCase& c = GetParam();
  const uint16_t port = PortOf(c.server);
  const testing::Probed a = Probe(Url(port, c.path), c.method);
  EXPECT_EQ(c.outcome, a.outcome);
  EXPECT_EQ(c.status, a.status);
  EXPECT_EQ(c.size, a.size);
  EXPECT_EQ(c.ranges, a.ranges);
  EXPECT_EQ(c.when != When::kUndated, a.dated);
  switch (c.when) {
    case When::kDocroot:
      EXPECT_EQ(Utc(nettest::kDocrootMtime), a.modified);
      break;
    case When::k1994:
      EXPECT_EQ(Utc({1994, 11, 6, 8, 49, 37}), a.modified);
      break;
    case When::kUndated:
      EXPECT_EQ(Time64(), a.modified);
      break;
  }
  EXPECT_EQ(c.etag, !a.etag.empty()) << a.etag;
  EXPECT_EQ(Url(port, c.found_at ? c.found_at : c.path), a.url.text);
  EXPECT_EQ(c.found_at ? Url(port, c.path) : std::string(), a.referer);
}

INSTANTIATE_TEST_SUITE_P(ProbeNet, ProbeNetTable,
                         ::testing::ValuesIn(kNetCases), [](const auto& info) {
                           return std::string(info.param.name);
                         });

TEST(ProbeNetTest, LargeTextFileIsNotReadWhole) {
  VORN_REQUIRE_SERVERS();
  // No zero byte stops this one: only the head's end does, and the size
  // still comes from the header, in either mode.
  for (uint16_t port : {NginxPort(), PythonPort()}) {
    testing::TempDir dir;
    Downloader d(&RealEnv());
    d.SetTimeouts(5000, 5000);
    Prepared p =
        d.PrepareDownload(Url(port, "/text-large.txt"), dir.File("t.txt"));
    ASSERT_EQ(Outcome::kOk, p.result.outcome);
    EXPECT_EQ(static_cast<int64_t>(nettest::LargeText().size()), p.plan.size);
    EXPECT_EQ(port == NginxPort(), p.plan.ranged);
    EXPECT_EQ(port == NginxPort(), testing::Exists(dir.File("t.txt.plan")));
  }
}

TEST(ProbeNetTest, RedirectChainAcrossPortsSendsReferers) {
  VORN_REQUIRE_SERVERS();
  const std::string tag = nettest::UniqueTag("chain");
  const int hops = 5;
  const testing::Probed a =
      Probe(Url(FaultPort(), "/redirect/" + std::to_string(hops) + "/" + tag));
  ASSERT_EQ(Outcome::kOk, a.outcome);
  EXPECT_EQ(1000, a.size);
  EXPECT_TRUE(a.ranges);

  // Hop k is asked for /redirect/k; it is on the first port when hops - k
  // is even. Its referer is the URL of hop k + 1, none for the first.
  auto port_of = [&](int k) {
    return (hops - k) % 2 == 0 ? FaultPort() : FaultPeerPort();
  };
  auto url_of = [&](int k) {
    return Url(port_of(k), "/redirect/" + std::to_string(k) + "/" + tag);
  };
  EXPECT_EQ(url_of(0), a.url.text);
  EXPECT_EQ(url_of(1), a.referer);
  std::vector<std::vector<std::string>> first = LogOf(FaultPort(), tag);
  std::vector<std::vector<std::string>> second = LogOf(FaultPeerPort(), tag);
  ASSERT_EQ(3u, first.size());
  ASSERT_EQ(3u, second.size());
  for (int k = hops; k >= 0; --k) {
    const auto& log = (hops - k) % 2 == 0 ? first : second;
    const auto& entry = log[static_cast<size_t>((hops - k) / 2)];
    SCOPED_TRACE("hop " + std::to_string(k));
    ASSERT_EQ(5u, entry.size());
    EXPECT_EQ("GET", entry[0]);
    EXPECT_EQ("/redirect/" + std::to_string(k) + "/" + tag, entry[1]);
    EXPECT_EQ(k == hops ? std::string() : url_of(k + 1), entry[2]);
    EXPECT_EQ("bytes=100-", entry[3]);
    // Not the default port: the Host field names it.
    EXPECT_NE(std::string::npos,
              entry[4].find("\\r\\nHost: 127.0.0.1:" +
                            std::to_string(port_of(k)) + "\\r\\n"));
  }
}

TEST(ProbeNetTest, RedirectLoopIsBounded) {
  VORN_REQUIRE_SERVERS();
  const std::string tag = nettest::UniqueTag("loop");
  const testing::Probed a = Probe(Url(FaultPort(), "/loop/" + tag));
  EXPECT_EQ(Outcome::kTooManyRedirects, a.outcome);
  EXPECT_EQ(0, a.size);
  EXPECT_EQ(static_cast<size_t>(kMaxRedirects + 1),
            LogOf(FaultPort(), tag).size());
}

TEST(ProbeNetTest, SilentServerTimesOut) {
  VORN_REQUIRE_SERVERS();
  auto start = std::chrono::steady_clock::now();
  const testing::Probed a = Probe(Url(FaultPort(), "/silent"), 0, 1000);
  double took = SecondsSince(start);
  EXPECT_EQ(Outcome::kNoAnswer, a.outcome);
  EXPECT_EQ(platform::ErrorKind::kTimedOut, a.error.kind());
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 5.0);
}

TEST(ProbeNetTest, RefusedConnectionFails) {
  VORN_REQUIRE_SERVERS();
  // Nothing listens on base + 9.
  const testing::Probed a =
      Probe(Url(static_cast<uint16_t>(nettest::PortBase() + 9), "/x"), 0, 2000);
  EXPECT_EQ(Outcome::kConnectFailed, a.outcome);
  EXPECT_EQ(platform::ErrorKind::kRefused, a.error.kind());
}

TEST(ProbeNetTest, HeadEndsAtItsBlankLine) {
  VORN_REQUIRE_SERVERS();
  // The server holds the connection after the head and a body that begins
  // with a zero byte, then sends a Last-Modified line: it is body, and a
  // probe that went on receiving would wait for its receive time-out.
  auto start = std::chrono::steady_clock::now();
  const testing::Probed a = Probe(Url(FaultPort(), "/zeropiece"));
  EXPECT_LT(SecondsSince(start), 4.0);
  EXPECT_EQ(Outcome::kOk, a.outcome);
  EXPECT_EQ(10, a.size);
  EXPECT_FALSE(a.ranges);
  EXPECT_FALSE(a.dated);
}

}  // namespace
}  // namespace vorn
