// ProbeSize over scripted sockets: the +100 rule, the range flag, the way
// pieces become the response text, redirects on the wire and their bound.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

constexpr int64_t kNow = 1800000000;
constexpr uint32_t kOldSize = 55;

std::string Bytes(const char* data, size_t n) { return std::string(data, n); }

std::string Pad(size_t n) { return std::string(n, 'a'); }

struct ProbeCase {
  const char* name;
  bool connects;
  std::vector<std::string> chunks;
  int after_chunks;
  int result;
  uint32_t size;  // kOldSize: unchanged
  int32_t flag;   // 7: unchanged
  bool dated;     // server time 6 Nov 1994 08:49:37 local, else now
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

std::vector<ProbeCase> ProbeCases() {
  return {
      {"partial_adds_100_and_sets_flag",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
        "Content-Range: bytes 100-999/1000\r\n"
        "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n"},
       0,
       0,
       1000,
       1,
       true},
      {"full_answer_adds_100_and_clears_flag",
       true,
       {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", Pad(1000)},
       0,
       0,
       1100,
       0,
       false},
      {"server_error_leaves_size_and_flag",
       true,
       {"HTTP/1.1 503 Busy\r\nContent-Length: 3\r\n\r\n"},
       0,
       1,
       kOldSize,
       7,
       false},
      {"range_refused_for_small_file",
       true,
       {"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n"},
       0,
       3,
       kOldSize,
       7,
       false},
      {"connect_failure_is_empty_answer", false, {}, 0, 3, kOldSize, 7, false},
      {"closed_without_answer", true, {}, 0, 3, kOldSize, 7, false},
      {"receive_error_ends_loop_and_text_is_parsed",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\n"
        "Content-Range: bytes 100-100/101\r\n\r\n"},
       -1,
       0,
       101,
       1,
       false},
      // However the network splits the header, it is read whole.
      {"value_split_across_pieces_read_whole",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
        "Content-Length: 9",
        "00\r\n\r\n"},
       0,
       0,
       1000,
       1,
       false},
      {"name_split_across_pieces_read_whole",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
        "Content-Len",
        "gth: 900\r\n\r\n"},
       0,
       0,
       1000,
       1,
       false},
      {"header_never_completed_fails",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"},
       0,
       3,
       kOldSize,
       7,
       false},
      // The value straddles the 1024-byte receive boundary: "12" | "34".
      {"content_length_past_1024_bytes_read_whole",
       true,
       {"HTTP/1.1 200 OK\r\nX-Pad: " + Pad(980) +
        "\r\nContent-Length: 1234\r\n\r\n"},
       0,
       0,
       1334,
       0,
       false},
      {"piece_beginning_with_zero_ends_receiving",
       true,
       {"HTTP/1.1 200 OK\r\nServer: x\r\n",
        Bytes("\0Content-Length: 5\r\n", 20), "Content-Length: 6\r\n\r\n"},
       0,
       3,
       kOldSize,
       7,
       false},
      {"zero_byte_inside_header_fails",
       true,
       {Bytes("HTTP/1.1 200 OK\r\nServer: x\r\n\0Content-Length: 5\r\n", 46),
        "Content-Length: 7\r\n\r\n"},
       0,
       3,
       kOldSize,
       7,
       false},
      {"date_in_received_body_not_read",
       true,
       {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n",
        "last-modified: sun, 06 nov 1994 08:49:37 gmt\r\n"},
       0,
       0,
       105,
       0,
       false},
      // The file would be 2 GiB or more once the skipped 100 bytes count.
      {"size_past_32_bit_model_fails",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 2147483548\r\n\r\n"},
       0,
       3,
       kOldSize,
       7,
       false},
      {"largest_size_in_the_model",
       true,
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 2147483547\r\n"
        "Content-Range: bytes 100-2147483646/2147483647\r\n\r\n"},
       0,
       0,
       2147483647u,
       1,
       false},
      // Beyond 64 KiB nothing more is received, so the date far in the body
      // is never seen.
      {"text_bounded_at_64_kib", true,
       [] {
         std::vector<std::string> chunks = {
             "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"};
         for (int i = 0; i < 80; ++i) chunks.push_back(Pad(1024));
         chunks.push_back("last-modified: sun, 06 nov 1994 08:49:37 gmt\r\n");
         return chunks;
       }(),
       0, 0, 105, 0, false},
  };
}

class ProbeTable : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTable, ResultSizeFlagAndTime) {
  const ProbeCase& c = GetParam();
  testing::FakeEnv fake;
  fake.clock.now_seconds = kNow;
  testing::SocketScript script;
  script.connect_ok = c.connects;
  script.chunks = c.chunks;
  script.after_chunks = c.after_chunks;
  fake.network.Script("srv:8080", script);

  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl("http://srv:8080/pkg.exe"));
  d.SetServerFileSizeForTesting(kOldSize);
  d.SetRangeSupportedForTesting(7);

  EXPECT_EQ(c.result, d.ProbeSize(0));
  EXPECT_EQ(c.size, d.server_file_size());
  EXPECT_EQ(c.flag, d.range_supported());
  int64_t want = kNow;
  if (c.dated) want = fake.clock.MakeLocalTime({1994, 11, 6, 8, 49, 37});
  EXPECT_EQ(want, d.server_time().seconds());
  std::vector<testing::FakeNetwork::Connection> conns =
      fake.network.Connections();
  ASSERT_EQ(1u, conns.size());
  EXPECT_EQ("srv:8080", conns[0].host_port);
}

INSTANTIATE_TEST_SUITE_P(Probe, ProbeTable, ::testing::ValuesIn(ProbeCases()),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

testing::SocketScript Answer(const std::string& text) {
  testing::SocketScript s;
  s.chunks = {text};
  return s;
}

std::string ProbeRequest(const std::string& method, const std::string& path,
                         const std::string& host, const std::string& referer) {
  std::string out = method + " " + path + " HTTP/1.1\r\nHost: " + host +
                    "\r\nAccept: */*\r\nPragma: no-cache\r\n"
                    "Cache-Control: no-cache\r\n";
  if (!referer.empty()) out += "Referer: " + referer + "\r\n";
  return out + "Connection: close\r\nRange: bytes=100-\r\n\r\n";
}

TEST(ProbeTest, RedirectChainSendsRefererAndReconnects) {
  testing::FakeEnv fake;
  fake.network.Script("a:80", Answer("HTTP/1.1 302 Found\r\n"
                                     "Location: http://b:81/x\r\n\r\n"));
  fake.network.Script("b:81",
                      Answer("HTTP/1.1 301 Moved\r\nLocation: /y\r\n\r\n"));
  fake.network.Script("b:81",
                      Answer("HTTP/1.1 302 Found\r\nLocation: z\r\n\r\n"));
  fake.network.Script("b:81", Answer("HTTP/1.1 206 Partial Content\r\n"
                                     "Content-Range: bytes 100-999/1000\r\n"
                                     "Content-Length: 900\r\n\r\n"));
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl("http://a/start"));
  ASSERT_EQ(0, d.ProbeSize(0));
  EXPECT_EQ(1000u, d.server_file_size());
  EXPECT_EQ(1, d.range_supported());

  std::vector<testing::FakeNetwork::Connection> conns =
      fake.network.Connections();
  ASSERT_EQ(4u, conns.size());
  EXPECT_EQ("a:80", conns[0].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/start", "a", ""), conns[0].sent);
  EXPECT_EQ("b:81", conns[1].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/x", "b", "http://a/start"), conns[1].sent);
  // Root-relative: same place, new path, the current URL stays b's.
  EXPECT_EQ("b:81", conns[2].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/y", "b", "http://b:81/x"), conns[2].sent);
  // Relative to the current URL http://b:81/x.
  EXPECT_EQ("b:81", conns[3].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/z", "b", "http://b:81/x"), conns[3].sent);
}

TEST(ProbeTest, HeadMethodForNonZeroArgument) {
  for (int method : {1, -1, 2}) {
    testing::FakeEnv fake;
    fake.network.Script("h:80",
                        Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n"));
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://h/f"));
    EXPECT_EQ(0, d.ProbeSize(method));
    ASSERT_EQ(1u, fake.network.Connections().size());
    EXPECT_EQ(ProbeRequest("HEAD", "/f", "h", ""),
              fake.network.Connections()[0].sent);
  }
}

// kMaxRedirects redirects are followed; one more fails the probe.
TEST(ProbeTest, RedirectBound) {
  struct {
    const char* name;
    int redirects;
    int result;
    size_t connections;
  } cases[] = {
      {"exactly_the_bound_is_followed", kMaxRedirects, 0, kMaxRedirects + 1},
      {"one_more_fails", kMaxRedirects + 1, 3, kMaxRedirects + 1},
      {"endless_loop_fails", 1000, 3, kMaxRedirects + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeEnv fake;
    int scripted = c.redirects < 100 ? c.redirects : 1;  // the last is reused
    for (int i = 0; i < scripted; ++i) {
      fake.network.Script(
          "h:80", Answer("HTTP/1.1 302 Found\r\nLocation: /again\r\n\r\n"));
    }
    if (c.redirects < 100) {
      fake.network.Script("h:80", Answer("HTTP/1.1 206 Partial Content\r\n"
                                         "Content-Range: bytes 100-100/101\r\n"
                                         "Content-Length: 1\r\n\r\n"));
    }
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://h/first"));
    EXPECT_EQ(c.result, d.ProbeSize(0));
    EXPECT_EQ(c.connections, fake.network.Connections().size());
  }
}

TEST(ProbeTest, RefusedRedirectTargetFails) {
  testing::FakeEnv fake;
  fake.network.Script(
      "h:80", Answer("HTTP/1.1 302 Found\r\nLocation: https://h/x\r\n\r\n"));
  fake.network.Script(
      "h:80",
      Answer("HTTP/1.1 302 Found\r\nLocation: ../../../../g.exe\r\n\r\n"));
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl("http://h/f.exe"));
  // https resolves relative (http://h/https://h/x); four "../" then cut
  // five times, into the scheme, leaving http://g.exe without a path:
  // the probe fails after two connections.
  EXPECT_EQ(3, d.ProbeSize(0));
  ASSERT_EQ(2u, fake.network.Connections().size());
  EXPECT_EQ(ProbeRequest("GET", "/https://h/x", "h", "http://h/f.exe"),
            fake.network.Connections()[1].sent);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// The probe through a proxy: where it connects, what it asks, and which of
// the proxy's own answers fail it. Rows with a direct route show that the
// same statuses from a server keep their old meaning.
TEST(ProbeTest, ThroughAProxy) {
  const std::string partial =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
      "Content-Length: 900\r\n\r\n";
  platform::ProxyRoute unsupported;
  unsupported.kind = platform::ProxyRoute::Kind::kUnsupported;
  unsupported.description = "http_proxy=socks5://px:1080";
  const platform::ProxyRoute proxy =
      testing::HttpProxy("px", 3128, "Basic dm9ybjpwdw==");
  struct {
    const char* name;
    platform::ProxyRoute route;
    bool connects;
    std::string answer;
    int result;
    ProbeFailure failure;
    int32_t status;
  } cases[] = {
      {"answer_through_proxy", proxy, true, partial, 0, ProbeFailure::kNone,
       206},
      {"proxy_refuses_connection", proxy, false, "", 3,
       ProbeFailure::kProxyConnectFailed, 0},
      {"proxy_wants_credentials", proxy, true,
       "HTTP/1.0 407 Proxy Authentication Required\r\n"
       "Proxy-Authenticate: Basic realm=\"p\"\r\n\r\n",
       3, ProbeFailure::kProxyAuthRequired, 407},
      {"proxy_cannot_reach_server", proxy, true,
       "HTTP/1.1 502 Unable to connect\r\nContent-Length: 0\r\n\r\n", 3,
       ProbeFailure::kProxyBadGateway, 502},
      {"proxy_timed_out_on_server", proxy, true,
       "HTTP/1.1 504 Gateway Timeout\r\nContent-Length: 0\r\n\r\n", 3,
       ProbeFailure::kProxyBadGateway, 504},
      {"server_error_through_proxy", proxy, true,
       "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n", 1,
       ProbeFailure::kServerError, 500},
      {"unsupported_proxy_never_connects", unsupported, true, partial, 3,
       ProbeFailure::kProxyUnsupported, 0},
      {"direct_407_is_a_refusal", platform::ProxyRoute(), true,
       "HTTP/1.1 407 Odd\r\nContent-Length: 0\r\n\r\n", 3,
       ProbeFailure::kRefused, 407},
      {"direct_502_is_a_server_error", platform::ProxyRoute(), true,
       "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n", 1,
       ProbeFailure::kServerError, 502},
  };
  for (const auto& c : cases) {
    testing::FakeEnv fake;
    fake.proxies.RouteAll(c.route);
    testing::SocketScript script = Answer(c.answer);
    script.connect_ok = c.connects;
    fake.network.Script("px:3128", script);
    fake.network.Script("srv:8080", script);
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://srv:8080/pkg.exe"));
    EXPECT_EQ(c.result, d.ProbeSize(0)) << c.name;
    EXPECT_EQ(c.failure, d.probe_failure()) << c.name;
    EXPECT_EQ(c.status, d.probe_status()) << c.name;
    EXPECT_EQ(c.route.description, d.proxy_description()) << c.name;
    auto conns = fake.network.Connections();
    if (c.route.kind == platform::ProxyRoute::Kind::kUnsupported) {
      EXPECT_TRUE(conns.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(1u, conns.size()) << c.name;
    if (c.route.kind == platform::ProxyRoute::Kind::kDirect) {
      EXPECT_EQ("srv:8080", conns[0].host_port) << c.name;
      continue;
    }
    EXPECT_EQ("px:3128", conns[0].host_port) << c.name;
    if (c.connects) {
      EXPECT_EQ(0u, conns[0].sent.find(
                        "GET http://srv:8080/pkg.exe HTTP/1.1\r\nHost: srv\r\n"
                        "Proxy-Authorization: Basic dm9ybjpwdw==\r\n"))
          << c.name;
    }
  }
}

// Each attempt asks for the route of its own host: a redirect to a host
// that the settings exempt leaves the proxy, with the referer kept.
TEST(ProbeTest, RedirectLeavesTheProxyForAnExemptHost) {
  testing::FakeEnv fake;
  fake.proxies.Route("a:80", testing::HttpProxy("px", 3128));
  fake.network.Script("px:3128", Answer("HTTP/1.1 302 Found\r\n"
                                        "Location: http://b:81/x\r\n\r\n"));
  fake.network.Script("b:81", Answer("HTTP/1.1 206 Partial Content\r\n"
                                     "Content-Range: bytes 100-999/1000\r\n"
                                     "Content-Length: 900\r\n\r\n"));
  Downloader d(&fake.env);
  ASSERT_TRUE(d.ParseUrl("http://a/start"));
  ASSERT_EQ(0, d.ProbeSize(0));
  auto conns = fake.network.Connections();
  ASSERT_EQ(2u, conns.size());
  EXPECT_EQ("px:3128", conns[0].host_port);
  EXPECT_EQ(0u, conns[0].sent.find("GET http://a/start HTTP/1.1\r\n"));
  EXPECT_EQ("b:81", conns[1].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/x", "b", "http://a/start"), conns[1].sent);
  EXPECT_EQ((std::vector<std::string>{"a:80", "b:81"}), fake.proxies.Asked());
  EXPECT_EQ("test=px:3128", d.proxy_description());
}

}  // namespace
}  // namespace vorn
