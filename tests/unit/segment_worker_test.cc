#include <gtest/gtest.h>

#include <cstring>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/fake_http.h"

namespace vorn {
namespace {

using testing::Exists;
using testing::FakeEnv;
using testing::ReadAll;
using testing::SocketScript;
using testing::TempDir;
using testing::WriteAll;

std::string Buffer(const std::string& bytes) {
  std::string b(kReceiveBufferBytes, '\0');
  std::memcpy(&b[0], bytes.data(), std::min(bytes.size(), b.size()));
  return b;
}

TEST(HeaderLength, ScansTheWholeBuffer) {
  std::string head = "HTTP/1.1 206 Partial\r\nX: ";
  std::string full =
      head + std::string(1025 - head.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(1025u, full.size());
  struct {
    const char* name;
    std::string bytes;
    int32_t expected;
  } cases[] = {
      {"Ordinary", "HTTP/1.1 206 P\r\nA: b\r\n\r\nbody", 24},
      {"BlankLineEndsAtLastByte", full, 1025},
      {"LineOfCarriageReturnsIsBlank", "HTTP/1.1 200 OK\r\n\r\r\r\nbody", 21},
      {"LeadingCrLf", "\r\nbody", 2},
      {"LeadingLf", "\nbody", 1},
      {"NoBlankLine", "HTTP/1.1 200 OK\r\nA: b\r\n", 1025},
      {"ZerosAreLineCharacters", std::string("HTTP\r\n\0\0\r\n", 10), 1025},
  };
  for (const auto& c : cases) {
    std::string b = Buffer(c.bytes);
    EXPECT_EQ(c.expected,
              Downloader::GetHeaderLength(b.data(), kReceiveBufferBytes))
        << c.name;
  }
  std::string b = Buffer("a\rb\nrest");
  int position = 0;
  EXPECT_EQ("ab", Downloader::ReadHeaderLine(b.data(), &position,
                                             kReceiveBufferBytes));
  EXPECT_EQ(4, position);
}

// One worker's world: a downloader of http://h/f.exe with the fresh plan of
// a 1003-byte file, whose connections to h:80 answer with `chunks` and then
// `after` (0: closed, -1: failed).
struct Rig {
  Rig(const std::string& save_path, bool ranged,
      std::vector<std::string> chunks, int after = 0)
      : d(&fake.env) {
    EXPECT_TRUE(d.ParseUrl("http://h/f.exe"));
    d.SetPathsForTesting(save_path);
    d.SetRangeSupportedForTesting(ranged ? 1 : 0);
    uint32_t size = ranged ? 1003 : 1103;  // one connection: the +100 of a 200
    d.SetServerFileSizeForTesting(size);
    MakeFreshPartition(size, d.mutable_record()->ranges);
    SocketScript script;
    script.chunks = std::move(chunks);
    script.after_chunks = after;
    fake.network.Script("h:80", script);
  }
  std::string Sent() {
    auto connections = fake.network.Connections();
    return connections.empty() ? std::string() : connections[0].sent;
  }
  std::string Segment(int i) { return ReadAll(d.SegmentFilePath(i)); }

  FakeEnv fake;
  Downloader d;
};

std::string Ranged(int first, int last, const std::string& body) {
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
         std::to_string(first) + "-" + std::to_string(last) +
         "/1003\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

class SegmentWorkerTest : public ::testing::Test {
 protected:
  std::string Save(const std::string& name) { return dir_.File(name); }

  TempDir dir_;
  const std::string content_ = testing::Pattern(1003);
};

TEST_F(SegmentWorkerTest, WritesExactlyTheRange) {
  std::string body = content_.substr(250, 250);
  std::string answer = Ranged(250, 499, body);
  struct {
    const char* name;
    std::vector<std::string> chunks;
  } cases[] = {
      {"OnePiece", {answer}},
      {"HeaderSplitIntoTinyPieces",
       {answer.substr(0, 3), answer.substr(3, 10), answer.substr(13, 40),
        answer.substr(53)}},
      {"KeepAliveWithExtraBytes", {answer + "HTTP/1.1 206 next answer..."}},
  };
  for (const auto& c : cases) {
    Rig rig(Save(c.name), /*ranged=*/true, c.chunks);
    rig.d.DownloadSegment(1);
    EXPECT_EQ(body, rig.Segment(1)) << c.name;
    EXPECT_NE(std::string::npos, rig.Sent().find("Range: bytes=250-499\r\n"))
        << c.name;
  }
}

TEST_F(SegmentWorkerTest, WrongAnswersWriteNothing) {
  struct {
    const char* name;
    std::string answer;
  } cases[] = {
      {"WholeFileToARangeRequest",
       "HTTP/1.1 200 OK\r\nContent-Length: 1003\r\n\r\n" + content_},
      {"RangeFromAnotherStart", Ranged(0, 249, content_.substr(0, 250))},
      {"NotFound", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!"},
      {"HeaderNeverEnds", "HTTP/1.1 206 Partial\r\n" + std::string(20000, 'h')},
      {"ClosedInsideTheHeader", "HTTP/1.1 206 Partial\r\nContent-Le"},
      {"NothingAtAll", ""},
  };
  for (const auto& c : cases) {
    Rig rig(Save(c.name), /*ranged=*/true, {c.answer});
    rig.d.DownloadSegment(1);
    EXPECT_FALSE(Exists(rig.d.SegmentFilePath(1))) << c.name;
  }
}

TEST_F(SegmentWorkerTest, BrokenTransfersKeepWhatArrived) {
  std::string answer = Ranged(500, 749, content_.substr(500, 250));
  std::string half = answer.substr(0, answer.size() - 125);
  for (int after : {0, platform::kSocketError}) {
    Rig rig(Save("broken" + std::to_string(after)), /*ranged=*/true, {half},
            after);
    rig.d.DownloadSegment(2);
    EXPECT_EQ(content_.substr(500, 125), rig.Segment(2)) << after;
  }
}

TEST_F(SegmentWorkerTest, FailedWriteEndsTheSegment) {
  Rig rig(Save("f.exe"), /*ranged=*/true,
          {Ranged(0, 249, content_.substr(0, 250))});
  rig.fake.files.fail_writes = true;
  rig.d.DownloadSegment(0);
  EXPECT_EQ("", rig.Segment(0));
}

TEST_F(SegmentWorkerTest, ResumeAppendsAfterWhatTheFileHolds) {
  Rig rig(Save("f.exe"), /*ranged=*/true,
          {Ranged(803, 1002, content_.substr(803))});
  WriteAll(rig.d.SegmentFilePath(3), content_.substr(750, 53));
  rig.d.SetResumeFlagForTesting(1);
  rig.d.mutable_record()->ranges[3].start = 803;
  rig.d.DownloadSegment(3);
  EXPECT_EQ(content_.substr(750), rig.Segment(3));
  EXPECT_NE(std::string::npos, rig.Sent().find("Range: bytes=803-1002\r\n"));
}

TEST_F(SegmentWorkerTest, CompleteSegmentIsNotRequestedAgain) {
  Rig rig(Save("f.exe"), /*ranged=*/true, {});
  rig.d.mutable_record()->ranges[0].start = 250;  // past its end, 249
  rig.d.DownloadSegment(0);
  EXPECT_TRUE(rig.fake.network.Connections().empty());
}

TEST_F(SegmentWorkerTest, StopFlagAdvancesTheStart) {
  std::string answer = Ranged(0, 249, content_.substr(0, 250));
  Rig rig(Save("f.exe"), /*ranged=*/true,
          {answer.substr(0, answer.size() - 200),
           answer.substr(answer.size() - 200)});
  rig.d.stop_flags()[0] = 1;
  rig.d.DownloadSegment(0);
  EXPECT_EQ(50, rig.d.record().ranges[0].start);
  EXPECT_EQ(content_.substr(0, 50), rig.Segment(0));
}

TEST_F(SegmentWorkerTest, SingleConnectionMode) {
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 1003\r\n\r\n";
  struct {
    const char* name;
    std::string answer;
    bool written;
  } cases[] = {
      {"WholeFile", ok + content_, true},
      {"NoLengthUntilClose", "HTTP/1.0 200 OK\r\n\r\n" + content_, true},
      {"ExtraBytesNotWritten", ok + content_ + "junk", true},
      {"FileChangedSinceProbe",
       "HTTP/1.1 200 OK\r\nContent-Length: 1004\r\n\r\n" + content_ + "x",
       false},
      {"ChunkedIsRefused",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3eb\r\n" +
           content_,
       false},
      {"ServerError", "HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy",
       false},
  };
  for (const auto& c : cases) {
    Rig rig(Save(c.name), /*ranged=*/false, {c.answer});
    rig.d.SetResumeFlagForTesting(
        1);  // one connection starts the file afresh anyway
    WriteAll(rig.d.SegmentFilePath(0), "old");
    rig.d.DownloadSegment(0);
    EXPECT_EQ(c.written ? content_ : std::string("old"), rig.Segment(0))
        << c.name;
    EXPECT_EQ(std::string::npos, rig.Sent().find("Range:")) << c.name;
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// A segment through a proxy: it connects to the proxy, asks in the
// absolute form, and the proxy's own failures end it with a result of
// their own and nothing written.
TEST(SegmentThroughProxy, ResultsAndBytes) {
  const std::string content = testing::Pattern(1003);
  const std::string good = Ranged(250, 499, content.substr(250, 250));
  platform::ProxyRoute unsupported;
  unsupported.kind = platform::ProxyRoute::Kind::kUnsupported;
  struct {
    const char* name;
    platform::ProxyRoute route;
    bool connects;
    std::string answer;
    SegmentResult result;
    bool written;
  } cases[] = {
      {"Complete", testing::HttpProxy("px", 3128), true, good,
       SegmentResult::kComplete, true},
      {"ProxyRefuses", testing::HttpProxy("px", 3128), false, good,
       SegmentResult::kProxyConnectFailed, false},
      {"ProxyWantsCredentials", testing::HttpProxy("px", 3128), true,
       "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n",
       SegmentResult::kProxyError, false},
      {"ProxyCannotReachServer", testing::HttpProxy("px", 3128), true,
       "HTTP/1.1 502 Unable to connect\r\nContent-Length: 0\r\n\r\n",
       SegmentResult::kProxyError, false},
      {"ProxyTimedOut", testing::HttpProxy("px", 3128), true,
       "HTTP/1.1 504 Gateway Timeout\r\nContent-Length: 0\r\n\r\n",
       SegmentResult::kProxyError, false},
      {"ServerRefusalStaysWrongAnswer", testing::HttpProxy("px", 3128), true,
       "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
       SegmentResult::kWrongAnswer, false},
      {"UnsupportedNeverConnects", unsupported, true, good,
       SegmentResult::kProxyConnectFailed, false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Rig rig(dir.File("f.exe"), /*ranged=*/true, {good});
    rig.fake.proxies.RouteAll(c.route);
    SocketScript script;
    script.connect_ok = c.connects;
    script.chunks = {c.answer};
    rig.fake.network.Script("px:3128", script);
    rig.d.DownloadSegment(1);
    EXPECT_EQ(c.result, rig.d.segment_result(1)) << c.name;
    EXPECT_EQ(c.written, Exists(rig.d.SegmentFilePath(1))) << c.name;
    if (c.written) {
      EXPECT_EQ(content.substr(250, 250), rig.Segment(1)) << c.name;
    }
    auto conns = rig.fake.network.Connections();
    if (c.route.kind == platform::ProxyRoute::Kind::kUnsupported) {
      EXPECT_TRUE(conns.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(1u, conns.size()) << c.name;
    EXPECT_EQ("px:3128", conns[0].host_port) << c.name;
    if (c.connects) {
      EXPECT_EQ(
          "GET http://h/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
          "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
          "Range: bytes=250-499\r\n\r\n",
          conns[0].sent)
          << c.name;
    }
  }
}

}  // namespace
}  // namespace vorn
