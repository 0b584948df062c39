// The backend's sockets over TLS and IPv6 against the test nginx: raw
// request bytes after StartTls, each certificate fault mapped to its kind.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/env.h"
#include "tests/net/net_env.h"

namespace vorn::platform {
namespace {

std::unique_ptr<Socket> NewSocket() {
  return Env::Default().network->NewSocket();
}

// Sends `request` and reads until the end of the stream, or the failure.
// `last` gets the last Receive's answer.
std::string Exchange(Socket* s, const std::string& request, int* last) {
  EXPECT_EQ(s->Send(request), static_cast<int>(request.size()))
      << s->last_error().ToString();
  std::string got;
  char buf[3000];  // less than a TLS record: records span reads
  while ((*last = s->Receive(buf, sizeof(buf))) > 0) got.append(buf, *last);
  return got;
}

std::string RangeRequest(const std::string& host_field, const std::string& tag,
                         int first, int last) {
  return "GET /pkg-65536.bin?" + tag + " HTTP/1.1\r\nHost: " + host_field +
         "\r\nRange: bytes=" + std::to_string(first) + "-" +
         std::to_string(last) + "\r\nConnection: close\r\n\r\n";
}

class PlatformTlsNetTest : public ::testing::Test {
 protected:
  void SetUp() override { nettest::TrustTestCa(); }
};

TEST_F(PlatformTlsNetTest, RangeByteExactOrTheCertificatesFault) {
  VORN_REQUIRE_SERVERS();
  struct Case {
    const char* name;
    std::string host;
    uint16_t port;
    bool tls;
    ErrorKind kind;  // of StartTls; kOk: the range is fetched
  };
  const Case cases[] = {
      {"name", "localhost", nettest::TlsPort(), true, ErrorKind::kOk},
      {"IPv4 literal", "127.0.0.1", nettest::TlsPort(), true, ErrorKind::kOk},
      {"IPv6 literal", "::1", nettest::TlsPort(), true, ErrorKind::kOk},
      {"IPv6 literal, plain", "::1", nettest::NginxPort(), false,
       ErrorKind::kOk},
      {"another name's certificate", "localhost", nettest::TlsWrongNamePort(),
       true, ErrorKind::kTlsWrongName},
      {"an address not in the certificate", "127.0.0.1",
       nettest::TlsWrongNamePort(), true, ErrorKind::kTlsWrongName},
      {"expired", "localhost", nettest::TlsExpiredPort(), true,
       ErrorKind::kTlsExpired},
      {"untrusted CA", "localhost", nettest::TlsUntrustedPort(), true,
       ErrorKind::kTlsUntrusted},
      {"plain server", "localhost", nettest::NginxPort(), true,
       ErrorKind::kTlsHandshake},
  };
  const std::string package = nettest::PackageBytes(65536);
  int first = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Socket> s = NewSocket();
    ASSERT_NE(s, nullptr);
    s->SetReceiveTimeout(5000);
    ASSERT_TRUE(s->Connect(c.host, c.port, 5000)) << s->last_error().ToString();
    bool started = !c.tls || s->StartTls(c.host, 5000);
    EXPECT_EQ(s->last_error().kind(), c.kind) << s->last_error().ToString();
    std::string host_field =
        c.host.find(':') != std::string::npos ? "[" + c.host + "]" : c.host;
    if (c.kind != ErrorKind::kOk) {
      EXPECT_FALSE(started);
      EXPECT_EQ(s->last_error().object(),
                host_field + ":" + std::to_string(c.port));
      char buf[16];
      EXPECT_EQ(s->Receive(buf, sizeof(buf)), kSocketError)
          << "a failed handshake leaves no connection";
      continue;
    }
    ASSERT_TRUE(started);
    // A different range for every row, most of it in records larger than
    // one Receive.
    first += 777;
    const int last_byte = first + 40000;
    int last = 0;
    std::string answer = Exchange(
        s.get(), RangeRequest(host_field, "tls", first, last_byte), &last);
    EXPECT_EQ(last, 0) << "the server's end must read as an end: "
                       << s->last_error().ToString();
    EXPECT_EQ(answer.rfind("HTTP/1.1 206 ", 0), 0u) << answer.substr(0, 80);
    std::string body = nettest::BodyOf(answer);
    EXPECT_EQ(body.size(), 40001u);
    EXPECT_TRUE(body == package.substr(first, 40001)) << "bytes differ";
  }
}

// After the handshake the receive time-out holds as on plain TCP, and a
// keep-alive connection carries a second request.
TEST_F(PlatformTlsNetTest, KeepAliveAndReceiveTimeOut) {
  VORN_REQUIRE_SERVERS();
  std::unique_ptr<Socket> s = NewSocket();
  ASSERT_TRUE(s->Connect("localhost", nettest::TlsPort(), 5000));
  ASSERT_TRUE(s->StartTls("localhost", 5000)) << s->last_error().ToString();
  s->SetReceiveTimeout(400);
  const std::string request =
      "GET /text-small.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const std::string text = nettest::BodyOf(
      nettest::FetchRaw(nettest::NginxPort(), "/text-small.txt"));
  ASSERT_FALSE(text.empty());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(s->Send(request), static_cast<int>(request.size()));
    std::string got;
    char buf[512];
    int n = 0;
    auto start = std::chrono::steady_clock::now();
    // The answer, then silence: the connection stays open.
    while ((n = s->Receive(buf, sizeof(buf))) > 0) got.append(buf, n);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(n, kSocketError);
    EXPECT_EQ(s->last_error().kind(), ErrorKind::kTimedOut)
        << s->last_error().ToString();
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
    EXPECT_EQ(nettest::BodyOf(got), text);
  }
}

TEST(PlatformSocketErrors, ConnectFailureSaysWhatAndWhere) {
  VORN_REQUIRE_SERVERS();
  struct Case {
    std::string host;
    uint16_t port;
    ErrorKind kind;
    std::string object;  // the status's object, exactly
  };
  const uint16_t nobody = static_cast<uint16_t>(nettest::PortBase() + 9);
  const Case cases[] = {
      {"127.0.0.1", nobody, ErrorKind::kRefused,
       "127.0.0.1:" + std::to_string(nobody)},
      {"::1", nobody, ErrorKind::kRefused, "[::1]:" + std::to_string(nobody)},
      {"vorn-no-such-host.invalid", 80, ErrorKind::kHostNotFound,
       "vorn-no-such-host.invalid:80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::unique_ptr<Socket> s = NewSocket();
    EXPECT_FALSE(s->Connect(c.host, c.port, 3000));
    EXPECT_EQ(s->last_error().kind(), c.kind) << s->last_error().ToString();
    EXPECT_EQ(s->last_error().object(), c.object);
    EXPECT_NE(s->last_error().os_code(), 0);
    EXPECT_FALSE(s->last_error().os_text().empty());
    EXPECT_EQ(s->last_error().os_text().find_first_of("\r\n"),
              std::string::npos);
  }
}

#ifndef _WIN32
// The later connections to a host resume the first one's session: nginx
// logs "r" for a request on a resumed session.
TEST_F(PlatformTlsNetTest, LaterConnectionsResumeTheSession) {
  VORN_REQUIRE_SERVERS();
  const std::string tag = nettest::UniqueTag("resume");
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<Socket> s = NewSocket();
    s->SetReceiveTimeout(5000);
    ASSERT_TRUE(s->Connect("localhost", nettest::TlsPort(), 5000));
    ASSERT_TRUE(s->StartTls("localhost", 5000)) << s->last_error().ToString();
    int last = 0;
    Exchange(s.get(),
             RangeRequest("localhost", tag + "-" + std::to_string(i), 0, 9),
             &last);
    EXPECT_EQ(last, 0);
  }
  std::ifstream log(nettest::ServersDir() + "/nginx-tls-access.log");
  std::string line;
  std::string reused;
  while (std::getline(log, line)) {
    for (int i = 0; i < 3; ++i) {
      if (line.find(tag + "-" + std::to_string(i) + " ") != std::string::npos)
        reused += line.substr(line.size() - 1);
    }
  }
  EXPECT_EQ(reused, ".rr");
}
#endif

}  // namespace
}  // namespace vorn::platform
