// RunExchange over scripted sockets: the one routine behind the probe and
// every segment. Where it connects (the server or the proxy), what it
// sends (a tunnel's CONNECT first for https through a proxy), and every
// way an exchange fails, each naming the server or the proxy.
#include <gtest/gtest.h>

#include <string>

#include "download/connection.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

using platform::ErrorKind;
using platform::ProxyRoute;

HttpUrl Url(const std::string& text) {
  HttpUrl url;
  EXPECT_EQ(UrlError::kNone, HttpUrl::Parse(text, &url)) << text;
  return url;
}

constexpr char kPartial[] =
    "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
    "Content-Length: 900\r\n\r\n";
constexpr char kTunnel[] = "HTTP/1.1 200 Connection established\r\n\r\n";
constexpr char kConnect[] =
    "CONNECT srv:443 HTTP/1.1\r\nHost: srv:443\r\n"
    "Proxy-Authorization: Basic dm9ybjpwdw==\r\n\r\n";

TEST(Exchange, RoutesAndFailures) {
  const ProxyRoute proxy = testing::HttpProxy("px", 3128, "Basic dm9ybjpwdw==");
  ProxyRoute unsupported;
  unsupported.kind = ProxyRoute::Kind::kUnsupported;
  unsupported.description = "http_proxy=socks5://px:1080";
  const ProxyRoute direct;
  struct {
    const char* name;
    const char* url;
    ProxyRoute route;
    testing::SocketScript script;  // of the server or the proxy
    Outcome outcome;
    int32_t status;
    ErrorKind kind;      // of the failure's status
    const char* object;  // the failure names it; "" when none
    bool request_sent;   // the request went out (after a tunnel's CONNECT)
  } cases[] = {
      // Plain http through a proxy: the request in the absolute form, and
      // the proxy's own refusals are the proxy's failures.
      {"answer_through_proxy", "http://srv:8080/f", proxy, {true, {kPartial}},
       Outcome::kOk, 206, ErrorKind::kOk, "", true},
      {"proxy_refuses_connection", "http://srv:8080/f", proxy, {false, {}},
       Outcome::kProxyConnectFailed, 0, ErrorKind::kRefused, "px:3128", false},
      {"proxy_wants_credentials", "http://srv:8080/f", proxy,
       {true,
        {"HTTP/1.0 407 Proxy Authentication Required\r\n"
         "Proxy-Authenticate: Basic realm=\"p\"\r\n\r\n"}},
       Outcome::kProxyAuthRequired, 407, ErrorKind::kOther, "px:3128", true},
      {"proxy_cannot_reach_server", "http://srv:8080/f", proxy,
       {true, {"HTTP/1.1 502 Unable to connect\r\nContent-Length: 0\r\n\r\n"}},
       Outcome::kProxyBadGateway, 502, ErrorKind::kOther, "px:3128", true},
      {"proxy_timed_out_on_server", "http://srv:8080/f", proxy,
       {true, {"HTTP/1.1 504 Gateway Timeout\r\nContent-Length: 0\r\n\r\n"}},
       Outcome::kProxyBadGateway, 504, ErrorKind::kOther, "px:3128", true},
      // A server's own status through the proxy is the caller's to read.
      {"server_error_through_proxy", "http://srv:8080/f", proxy,
       {true, {"HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"}},
       Outcome::kOk, 500, ErrorKind::kOk, "", true},
      {"unsupported_proxy_never_connects", "http://srv:8080/f", unsupported,
       {true, {kPartial}}, Outcome::kProxyUnsupported, 0, ErrorKind::kOther,
       "", false},
      {"direct_407_is_the_servers", "http://srv:8080/f", direct,
       {true, {"HTTP/1.1 407 Odd\r\nContent-Length: 0\r\n\r\n"}}, Outcome::kOk,
       407, ErrorKind::kOk, "", true},
      {"server_refuses_connection", "http://srv:8080/f", direct, {false, {}},
       Outcome::kConnectFailed, 0, ErrorKind::kRefused, "srv:8080", false},
      // https through a proxy: a tunnel, then TLS to the server in it.
      {"tunnel_then_request", "https://srv/f", proxy,
       {true, {kTunnel, kPartial}}, Outcome::kOk, 206, ErrorKind::kOk, "",
       true},
      {"tunnel_needs_credentials", "https://srv/f", proxy,
       {true, {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"}},
       Outcome::kProxyAuthRequired, 407, ErrorKind::kOther, "px:3128", false},
      {"tunnel_refused", "https://srv/f", proxy,
       {true, {"HTTP/1.1 403 Forbidden\r\n\r\n"}}, Outcome::kProxyBadGateway,
       403, ErrorKind::kOther, "px:3128", false},
      // Refusals with the proxy's own page after them, as tinyproxy sends.
      {"tunnel_needs_credentials_with_a_page", "https://srv/f", proxy,
       {true,
        {"HTTP/1.0 407 Proxy Authentication Required\r\n"
         "Content-Length: 13\r\n\r\n<html></html>"}},
       Outcome::kProxyAuthRequired, 407, ErrorKind::kOther, "px:3128", false},
      {"tunnel_cannot_reach_server_with_a_page", "https://srv/f", proxy,
       {true, {"HTTP/1.0 502 Bad Gateway\r\nContent-Length: 6\r\n\r\n<html>"}},
       Outcome::kProxyBadGateway, 502, ErrorKind::kOther, "px:3128", false},
      // After a 200, bytes that nobody asked for yet: not the server's.
      {"tunnel_answer_with_bytes_after_it", "https://srv/f", proxy,
       {true, {std::string(kTunnel) + "HTTP/1.1 206"}}, Outcome::kBadAnswer, 0,
       ErrorKind::kOther, "px:3128", false},
      // What can fail on the way to any server's head.
      {"tls_untrusted", "https://srv/f", direct,
       {true, {kPartial}, 0, true, ErrorKind::kTlsUntrusted},
       Outcome::kTlsFailed, 0, ErrorKind::kTlsUntrusted, "srv:443", false},
      {"send_fails", "http://srv:8080/f", direct, {true, {kPartial}, 0, false},
       Outcome::kSendFailed, 0, ErrorKind::kClosed, "srv:8080", false},
      {"closed_before_a_head", "http://srv:8080/f", direct,
       {true, {"HTTP/1.1 206 Partial\r\nContent-Le"}}, Outcome::kNoAnswer, 0,
       ErrorKind::kClosed, "srv:8080", true},
      {"reset_before_a_head", "http://srv:8080/f", direct,
       {true, {}, platform::kSocketError}, Outcome::kNoAnswer, 0,
       ErrorKind::kClosed, "srv:8080", true},
      {"head_too_long", "http://srv:8080/f", direct,
       {true, {"HTTP/1.1 206 Partial\r\n" + std::string(20000, 'h')}},
       Outcome::kHeadTooLong, 0, ErrorKind::kOther, "srv:8080", true},
      {"malformed_head", "http://srv:8080/f", direct,
       {true, {"HTTP/1.1 2x6 Partial\r\n\r\n"}}, Outcome::kBadAnswer, 0,
       ErrorKind::kOther, "srv:8080", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeEnv fake;
    fake.proxies.RouteAll(c.route);
    const bool proxied = c.route.kind == ProxyRoute::Kind::kHttpProxy;
    const HttpUrl url = Url(c.url);
    const std::string where =
        proxied ? "px:3128" : url.host + ":" + std::to_string(url.port);
    fake.network.Script(where, c.script);
    Exchange exchange;
    const std::string request = "request for " + url.text + "\r\n\r\n";
    StepResult result = RunExchange(
        &fake.env, url, ExchangeLimits{},
        [&](const ProxyRoute& route) {
          EXPECT_EQ(c.route.kind, route.kind);
          return request;
        },
        &exchange);
    EXPECT_EQ(c.outcome, result.outcome);
    EXPECT_EQ(c.status, result.outcome == Outcome::kOk ? exchange.head.status
                                                       : result.status);
    EXPECT_EQ(c.kind, result.error.kind()) << result.error.ToString();
    EXPECT_EQ(c.object, result.error.object());
    auto conns = fake.network.Connections();
    if (c.route.kind == ProxyRoute::Kind::kUnsupported) {
      EXPECT_TRUE(conns.empty());
      continue;
    }
    ASSERT_EQ(1u, conns.size());
    EXPECT_EQ(where, conns[0].host_port);
    const std::string tunnel = url.secure && proxied ? kConnect : "";
    EXPECT_EQ(c.request_sent ? tunnel + request
                             : c.script.connect_ok && c.script.send_ok
                                   ? tunnel
                                   : std::string(),
              conns[0].sent);
  }
}

}  // namespace
}  // namespace vorn
