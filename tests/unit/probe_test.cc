// ProbeSize over scripted sockets: the answer it comes to, the way pieces
// become a head, redirects on the wire and their bound, and proxies.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "download/response_header.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/fake_http.h"

namespace vorn {
namespace {

std::string Pad(size_t n) { return std::string(n, 'a'); }

HttpUrl Url(const std::string& text) {
  HttpUrl url;
  EXPECT_EQ(UrlError::kNone, HttpUrl::Parse(text, &url)) << text;
  return url;
}

std::string ProbeRequest(const std::string& method, const std::string& target,
                         const std::string& host, const std::string& referer) {
  std::string out = method + " " + target + " HTTP/1.1\r\nHost: " + host +
                    "\r\nAccept: */*\r\nPragma: no-cache\r\n"
                    "Cache-Control: no-cache\r\n";
  if (!referer.empty()) out += "Referer: " + referer + "\r\n";
  return out + "Connection: close\r\nRange: bytes=100-\r\n\r\n";
}

const char kPartial[] =
    "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
    "Content-Length: 900\r\n\r\n";

struct ProbeCase {
  const char* name;
  std::vector<std::string> chunks;
  int after_chunks;
  Outcome outcome;
  int64_t size;
  bool ranges;
  bool dated;  // Last-Modified 6 Nov 1994 08:49:37 GMT
  bool connects = true;
  bool sends = true;
};

// Test names carry the row; print it instead of its bytes.
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

std::vector<ProbeCase> ProbeCases() {
  return {
      {"partial_is_the_total_with_ranges",
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
        "Content-Range: bytes 100-999/1000\r\n"
        "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n"},
       0, Outcome::kOk, 1000, true, true},
      {"whole_file_is_its_length_without_ranges",
       {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", Pad(1000)}, 0,
       Outcome::kOk, 1000, false, false},
      {"server_error", {"HTTP/1.1 503 Busy\r\nContent-Length: 3\r\n\r\n"}, 0,
       Outcome::kServerError, 0, false, false},
      {"range_refused_without_a_total",
       {"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n"}, 0,
       Outcome::kRefused, 0, false, false},
      {"connect_failure", {}, 0, Outcome::kConnectFailed, 0, false, false,
       false},
      {"send_failure", {kPartial}, 0, Outcome::kSendFailed, 0, false, false,
       true, false},
      {"closed_without_answer", {}, 0, Outcome::kNoAnswer, 0, false, false},
      {"timed_out_without_answer", {}, -1, Outcome::kNoAnswer, 0, false,
       false},
      {"receive_error_after_the_head_is_harmless",
       {"HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\n"
        "Content-Range: bytes 100-100/101\r\n\r\n"},
       -1, Outcome::kOk, 101, true, false},
      // However the network splits the head, it is read whole.
      {"value_split_across_pieces_read_whole",
       {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
        "Content-Length: 9",
        "00\r\n\r\n"},
       0, Outcome::kOk, 1000, true, false},
      {"name_split_across_pieces_read_whole",
       {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
        "Content-Len",
        "gth: 900\r\n\r\n"},
       0, Outcome::kOk, 1000, true, false},
      {"head_never_completed", {"HTTP/1.1 206 Partial Content\r\n"}, 0,
       Outcome::kNoAnswer, 0, false, false},
      // The value "1234" straddles the 4096-byte receive: "12" | "34".
      {"content_length_across_the_receive_boundary",
       {"HTTP/1.1 200 OK\r\nX-Pad: " + Pad(4052) +
        "\r\nContent-Length: 1234\r\n\r\n"},
       0, Outcome::kOk, 1234, false, false},
      {"head_too_long",
       {"HTTP/1.1 200 OK\r\nX-Pad: " + Pad(kMaxHeaderBytes) +
        "\r\nContent-Length: 5\r\n\r\n"},
       0, Outcome::kHeadTooLong, 0, false, false},
      {"piece_beginning_with_zero_is_a_bad_answer",
       {"HTTP/1.1 200 OK\r\nServer: x\r\n",
        std::string(1, '\0') + "Content-Length: 5\r\n",
        "Content-Length: 6\r\n\r\n"},
       0, Outcome::kBadAnswer, 0, false, false},
      {"date_in_received_body_not_read",
       {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n",
        "last-modified: sun, 06 nov 1994 08:49:37 gmt\r\n"},
       0, Outcome::kOk, 5, false, false},
      {"interim_answers_skipped",
       {"HTTP/1.1 100 Continue\r\n\r\n",
        "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 100 Go\r\n\r\n",
        kPartial},
       0, Outcome::kOk, 1000, true, false},
      {"switching_protocols_is_unexpected",
       {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n", kPartial}, 0,
       Outcome::kUnexpectedStatus, 0, false, false},
  };
}

class ProbeTable : public ::testing::TestWithParam<ProbeCase> {};

// Each row runs as scripted and again with its bytes one per piece: both
// give the row.
TEST_P(ProbeTable, OutcomeSizeRangesAndDate) {
  const ProbeCase& c = GetParam();
  for (bool by_byte : {false, true}) {
    SCOPED_TRACE(by_byte ? "one byte per piece" : "as scripted");
    testing::FakeEnv fake;
    testing::SocketScript script;
    script.connect_ok = c.connects;
    script.send_ok = c.sends;
    script.after_chunks = c.after_chunks;
    for (const std::string& chunk : c.chunks) {
      if (!by_byte) {
        script.chunks.push_back(chunk);
        continue;
      }
      for (char b : chunk) script.chunks.push_back(std::string(1, b));
    }
    fake.network.Script("srv:8080", script);

    Downloader d(&fake.env);
    testing::Probed answer = testing::Probe(d, Url("http://srv:8080/pkg.exe"), 0);
    EXPECT_EQ(c.outcome, answer.outcome);
    if (c.outcome == Outcome::kOk) {
      EXPECT_EQ(c.size, answer.size);
      EXPECT_EQ(c.ranges, answer.ranges);
      EXPECT_EQ(c.dated, answer.dated);
      Time64 want;
      if (c.dated) {
        ASSERT_TRUE(Time64::FromUtcFields(1994, 11, 6, 8, 49, 37, &want));
      }
      EXPECT_EQ(want.seconds(), answer.modified.seconds());
    }
    std::vector<testing::FakeNetwork::Connection> conns =
        fake.network.Connections();
    ASSERT_EQ(1u, conns.size());
    EXPECT_EQ("srv:8080", conns[0].host_port);
    if (c.connects && c.sends) {
      EXPECT_EQ(ProbeRequest("GET", "/pkg.exe", "srv:8080", ""), conns[0].sent);
    }
  }
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

// Every redirect reconnects, uses its Location byte for byte, and names the
// URL that answered as the referer.
TEST(ProbeTest, RedirectChainSendsRefererAndReconnects) {
  testing::FakeEnv fake;
  fake.network.Script("a:80", Answer("HTTP/1.1 302 Found\r\n"
                                     "Location: http://b:81/Dir/X?Q=1\r\n\r\n"));
  fake.network.Script("b:81",
                      Answer("HTTP/1.1 301 Moved\r\nLocation: /y\r\n\r\n"));
  fake.network.Script("b:81",
                      Answer("HTTP/1.1 302 Found\r\nLocation: z\r\n\r\n"));
  fake.network.Script("b:81", Answer(kPartial));
  Downloader d(&fake.env);
  testing::Probed answer = testing::Probe(d, Url("http://a/start"), 0);
  ASSERT_EQ(Outcome::kOk, answer.outcome);
  EXPECT_EQ(1000, answer.size);
  EXPECT_TRUE(answer.ranges);
  EXPECT_EQ("http://b:81/z", answer.url.text);
  EXPECT_EQ("http://b:81/y", answer.referer);

  std::vector<testing::FakeNetwork::Connection> conns =
      fake.network.Connections();
  ASSERT_EQ(4u, conns.size());
  EXPECT_EQ("a:80", conns[0].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/start", "a", ""), conns[0].sent);
  EXPECT_EQ("b:81", conns[1].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/Dir/X?Q=1", "b:81", "http://a/start"),
            conns[1].sent);
  EXPECT_EQ("b:81", conns[2].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/y", "b:81", "http://b:81/Dir/X?Q=1"),
            conns[2].sent);
  // Relative to http://b:81/y, which answered.
  EXPECT_EQ("b:81", conns[3].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/z", "b:81", "http://b:81/y"), conns[3].sent);
}

// Between schemes: to https the probe follows under TLS; from https to
// http, and to an unusable target, it stops without connecting again.
TEST(ProbeTest, RedirectTargets) {
  struct {
    const char* name;
    const char* start;
    const char* first;  // host:port of the first connection
    const char* location;
    Outcome outcome;
    size_t connections;
  } cases[] = {
      {"http_to_https_followed", "http://h/f", "h:80", "https://h/g",
       Outcome::kOk, 2},
      {"https_to_http_refused", "https://h/f", "h:443", "http://h/g",
       Outcome::kInsecureRedirect, 1},
      {"unusable_target_refused", "http://h/f", "h:80", "/p q",
       Outcome::kBadRedirect, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeEnv fake;
    fake.network.Script(c.first,
                        Answer(std::string("HTTP/1.1 302 Found\r\nLocation: ") +
                               c.location + "\r\n\r\n"));
    fake.network.Script("h:443", Answer(kPartial));
    Downloader d(&fake.env);
    testing::Probed answer = testing::Probe(d, Url(c.start), 0);
    EXPECT_EQ(c.outcome, answer.outcome);
    auto conns = fake.network.Connections();
    ASSERT_EQ(c.connections, conns.size());
    if (c.connections < 2) continue;
    EXPECT_EQ("h:443", conns[1].host_port);
    EXPECT_EQ("h", conns[1].tls_host);
    EXPECT_EQ(ProbeRequest("GET", "/g", "h", c.start), conns[1].sent);
  }
}

TEST(ProbeTest, HeadMethodForNonZeroArgument) {
  for (int method : {1, -1, 2}) {
    testing::FakeEnv fake;
    fake.network.Script("h:80",
                        Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n"));
    Downloader d(&fake.env);
    EXPECT_EQ(Outcome::kOk, testing::Probe(d, Url("http://h/f"), method).outcome);
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
    Outcome outcome;
    size_t connections;
  } cases[] = {
      {"exactly_the_bound_is_followed", kMaxRedirects, Outcome::kOk,
       kMaxRedirects + 1},
      {"one_more_fails", kMaxRedirects + 1, Outcome::kTooManyRedirects,
       kMaxRedirects + 1},
      {"endless_loop_fails", 1000, Outcome::kTooManyRedirects,
       kMaxRedirects + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeEnv fake;
    int scripted = c.redirects < 100 ? c.redirects : 1;  // the last is reused
    for (int i = 0; i < scripted; ++i) {
      fake.network.Script(
          "h:80", Answer("HTTP/1.1 302 Found\r\nLocation: /again\r\n\r\n"));
    }
    if (c.redirects < 100) fake.network.Script("h:80", Answer(kPartial));
    Downloader d(&fake.env);
    EXPECT_EQ(c.outcome, testing::Probe(d, Url("http://h/first"), 0).outcome);
    EXPECT_EQ(c.connections, fake.network.Connections().size());
  }
}

// The probe through a proxy says which one, and asks in the absolute form
// with the route's credentials; the exchange's own proxy cases are in
// connection_test.cc.
TEST(ProbeTest, ThroughAProxyNamesItAndAsksAbsolutely) {
  const platform::ProxyRoute proxy =
      testing::HttpProxy("px", 3128, "Basic dm9ybjpwdw==");
  testing::FakeEnv fake;
  fake.proxies.RouteAll(proxy);
  fake.network.Script("px:3128", Answer(kPartial));
  Downloader d(&fake.env);
  testing::Probed answer = testing::Probe(d, Url("http://srv:8080/pkg.exe"), 0);
  EXPECT_EQ(Outcome::kOk, answer.outcome);
  EXPECT_EQ(1000, answer.size);
  EXPECT_EQ(proxy.description, answer.proxy_description);
  auto conns = fake.network.Connections();
  ASSERT_EQ(1u, conns.size());
  EXPECT_EQ("px:3128", conns[0].host_port);
  EXPECT_EQ(0u, conns[0].sent.find("GET http://srv:8080/pkg.exe HTTP/1.1\r\n"
                                   "Host: srv:8080\r\n"
                                   "Proxy-Authorization: Basic dm9ybjpwdw==\r\n"));
}

// Each attempt asks for the route of its own host: a redirect to a host
// that the settings exempt leaves the proxy, with the referer kept.
TEST(ProbeTest, RedirectLeavesTheProxyForAnExemptHost) {
  testing::FakeEnv fake;
  fake.proxies.Route("a:80", testing::HttpProxy("px", 3128));
  fake.network.Script("px:3128", Answer("HTTP/1.1 302 Found\r\n"
                                        "Location: http://b:81/x\r\n\r\n"));
  fake.network.Script("b:81", Answer(kPartial));
  Downloader d(&fake.env);
  testing::Probed answer = testing::Probe(d, Url("http://a/start"), 0);
  ASSERT_EQ(Outcome::kOk, answer.outcome);
  auto conns = fake.network.Connections();
  ASSERT_EQ(2u, conns.size());
  EXPECT_EQ("px:3128", conns[0].host_port);
  EXPECT_EQ(0u, conns[0].sent.find("GET http://a/start HTTP/1.1\r\n"));
  EXPECT_EQ("b:81", conns[1].host_port);
  EXPECT_EQ(ProbeRequest("GET", "/x", "b:81", "http://a/start"),
            conns[1].sent);
  EXPECT_EQ((std::vector<std::string>{"a:80", "b:81"}), fake.proxies.Asked());
  EXPECT_EQ("test=px:3128", answer.proxy_description);
}

// An https URL asks for the route of https, which may be another proxy:
// after a redirect from http to https the probe leaves the http proxy for
// the https one and asks it for a tunnel.
TEST(ProbeTest, HttpsAsksForTheRouteOfHttps) {
  testing::FakeEnv fake;
  fake.proxies.Route("a:80", testing::HttpProxy("px", 3128));
  fake.proxies.Route("https://a:443", testing::HttpProxy("tx", 8443));
  fake.network.Script("px:3128", Answer("HTTP/1.1 302 Found\r\n"
                                        "Location: https://a/x\r\n\r\n"));
  testing::SocketScript tunnel;
  tunnel.chunks = {"HTTP/1.1 200 Connection established\r\n\r\n", kPartial};
  fake.network.Script("tx:8443", tunnel);
  Downloader d(&fake.env);
  testing::Probed answer = testing::Probe(d, Url("http://a/start"), 0);
  ASSERT_EQ(Outcome::kOk, answer.outcome);
  EXPECT_EQ((std::vector<std::string>{"a:80", "https://a:443"}),
            fake.proxies.Asked());
  auto conns = fake.network.Connections();
  ASSERT_EQ(2u, conns.size());
  EXPECT_EQ("px:3128", conns[0].host_port);
  EXPECT_EQ("tx:8443", conns[1].host_port);
  EXPECT_EQ("CONNECT a:443 HTTP/1.1\r\nHost: a:443\r\n\r\n" +
                ProbeRequest("GET", "/x", "a", "http://a/start"),
            conns[1].sent);
  EXPECT_EQ("a", conns[1].tls_host);
}

}  // namespace
}  // namespace vorn
