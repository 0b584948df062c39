// The version fetch of a whole update run over the platform's real internet
// client (libcurl on Linux, WinINet on Windows) against the local servers;
// only the clock is a double, so the pauses between attempts cost nothing.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "tests/net/net_env.h"
#include "tests/unit/fake_env.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {
namespace {

using nettest::NginxPort;
using nettest::Url;

class VersionFetchNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = platform::Env::Default();
    env_.clock = &clock_;
  }
  // Runs an update whose version file is at `url`; returns its result.
  int32_t Run(const std::string& url) {
    updater_ = std::make_unique<Updater>(&env_);
    updater_->SetParameters(
        {url, "1.0", dir_.path(), "pkg.bin", false, "Title"});
    return updater_->RunUpdate();
  }
  // The log's messages, without their 13-byte prefixes.
  std::vector<std::string> Messages() {
    std::string log = testing::ReadAll(dir_.File("updatelog.txt"));
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
      size_t end = log.find("\r\n", at);
      if (end == std::string::npos) break;
      // A line written for an error text that carries its own CR LF ends
      // right after it: keep such texts whole.
      while (end + 2 < log.size() && log.compare(end + 2, 2, "\r\n") == 0)
        end += 2;
      out.push_back(log.substr(at + 13, end - at - 13));
      at = end + 2;
    }
    return out;
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  platform::Env env_;
  std::unique_ptr<Updater> updater_;
};

TEST_F(VersionFetchNetTest, LineEndsAndRedirects) {
  VORN_REQUIRE_SERVERS();
  const std::string same = Url(NginxPort(), "/ver-same.txt");
  struct {
    const char* name;
    std::string url;
  } cases[] = {
      {"CrLfWithoutFinalLineEnd", same},
      {"LfEnds", Url(NginxPort(), "/ver-same-lf.txt")},
      {"CrLfEnds", Url(NginxPort(), "/ver-same-crlf.txt")},
      {"RedirectFollowed",
       Url(nettest::FaultPort(), "/goto?code=302&loc=" + same)},
  };
  for (const auto& c : cases) {
    testing::WriteAll(dir_.File("updatelog.txt"), "");
    EXPECT_EQ(kRunOk, Run(c.url)) << c.name;
    EXPECT_EQ(std::vector<std::string>{msg::kUpToDate}, Messages()) << c.name;
    EXPECT_EQ((std::vector<std::string>{
                  "VER=1.0", "URL=" + Url(NginxPort(), "/pkg-1003.bin")}),
              updater_->version_file().lines)
        << c.name;
  }
}

TEST_F(VersionFetchNetTest, ErrorPageIsReadAsTheVersionText) {
  VORN_REQUIRE_SERVERS();
  EXPECT_EQ(kRunFail, Run(Url(NginxPort(), "/no-such-version-file.txt")));
  EXPECT_EQ(std::vector<std::string>{msg::kBadVersionFile}, Messages());
  // nginx's error page is a web page: no version text comes of it.
  EXPECT_TRUE(updater_->version_file().lines.empty());
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(VersionFetchNetTest, RefusedConnectionIsNamedWithItsHost) {
  VORN_REQUIRE_SERVERS();
  // Nothing listens on the port just past the test servers' range.
  const uint16_t port = static_cast<uint16_t>(nettest::PortBase() + 9);
  EXPECT_EQ(kRunFail, Run(Url(port, "/v.txt")));
  std::vector<std::string> lines = Messages();
  ASSERT_EQ(26u, lines.size());
  const std::string refused = std::string(msg::kVersionFetchFailed) +
                              msg::kDetailSeparator + "127.0.0.1:" +
                              std::to_string(port) + msg::kDetailSeparator +
                              msg::kReasonRefused;
  for (size_t i = 0; i < 26; i += 2) {
    EXPECT_EQ(refused, lines[i]) << i;
    EXPECT_EQ(i == 24 ? std::string(msg::kBadVersionFile)
                      : std::string(msg::kNetworkFailure),
              lines[i + 1]);
  }
  EXPECT_EQ(std::vector<uint32_t>(12, 300000u), clock_.sleeps);
}

// Over https the version file comes only from a server whose certificate
// is trusted, valid and for the host (the test CA trusted as for the
// package download); a refusal says which check failed, then it is a
// network failure like any other.
TEST_F(VersionFetchNetTest, HttpsNeedsATrustedValidCertificate) {
  VORN_REQUIRE_SERVERS();
  nettest::TrustTestCa();
  auto https = [](uint16_t port) {
    return "https://localhost:" + std::to_string(port) + "/ver-same.txt";
  };
  const struct {
    const char* name;
    std::string url;
    const char* line;  // null: fetched
    uint16_t port;
  } cases[] = {
      {"trusted", https(nettest::TlsPort()), nullptr, 0},
      {"untrusted CA", https(nettest::TlsUntrustedPort()),
       msg::kVersionTlsUntrusted, nettest::TlsUntrustedPort()},
      {"expired", https(nettest::TlsExpiredPort()), msg::kVersionTlsExpired,
       nettest::TlsExpiredPort()},
      {"another name", https(nettest::TlsWrongNamePort()),
       msg::kVersionTlsWrongName, nettest::TlsWrongNamePort()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WriteAll(dir_.File("updatelog.txt"), "");
    if (c.line == nullptr) {
      EXPECT_EQ(kRunOk, Run(c.url));
      EXPECT_EQ(std::vector<std::string>{msg::kUpToDate}, Messages());
      continue;
    }
    EXPECT_EQ(kRunFail, Run(c.url));
    std::vector<std::string> lines = Messages();
    ASSERT_EQ(26u, lines.size());
    // The check's line, the host and the client's own reason.
    const std::string named = c.line + std::string(msg::kDetailSeparator) +
                              "localhost:" + std::to_string(c.port) +
                              msg::kDetailSeparator;
    EXPECT_EQ(named, lines[0].substr(0, named.size()));
    EXPECT_GT(lines[0].size(), named.size());
    EXPECT_EQ(std::string(msg::kNetworkFailure), lines[1]);
    EXPECT_TRUE(updater_->version_file().lines.empty());
  }
}

}  // namespace
}  // namespace vorn
