#include <gtest/gtest.h>

#include <string>
#include <vector>

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

const std::string kDateLine =
    "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n";

// The probe's answer for a 1003-byte file dated kDateLine, with `fields`
// (such as an ETag) added.
std::string ProbeHead(bool ranged, const std::string& fields) {
  if (!ranged) {
    return "HTTP/1.1 200 OK\r\n" + kDateLine + fields +
           "Content-Length: 1003\r\n\r\n";
  }
  return "HTTP/1.1 206 Partial Content\r\n" + kDateLine + fields +
         "Content-Range: bytes 100-1002/1003\r\nContent-Length: 903\r\n\r\n";
}

SocketScript Answer(const std::string& bytes, int after = 0) {
  SocketScript script;
  script.chunks = {bytes};
  script.after_chunks = after;
  return script;
}

// A 206 of the 1003-byte file; `fields` are its validators.
std::string Ranged(int first, int last, const std::string& body,
                   const std::string& fields = kDateLine) {
  return "HTTP/1.1 206 Partial Content\r\n" + fields + "Content-Range: bytes " +
         std::to_string(first) + "-" + std::to_string(last) +
         "/1003\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// One worker's world: the download of h/f.exe (http or https), a 1003-byte
// file; the first connection answers the probe, every later one follows
// `segment`.
struct Rig {
  Rig(bool ranged, SocketScript segment, const std::string& probe_fields = "",
      bool secure = false)
      : secure(secure), d(&fake.env) {
    const std::string where = secure ? "h:443" : "h:80";
    fake.network.Script(where, Answer(ProbeHead(ranged, probe_fields)));
    fake.network.Script(where, std::move(segment));
  }
  // Prepares the download; a fresh plan with ranges is then the four
  // quarters of the file, so that segment i is quarter i.
  Outcome Prepare() {
    Prepared p =
        d.PrepareDownload(secure ? "https://h/f.exe" : "http://h/f.exe", Save());
    t.probe = p.probe;
    t.plan = p.plan;
    if (t.plan.ranged && !t.plan.resumed) {
      MakeFreshPartition(1003, t.plan.record.ranges);
      t.plan.record.ranges.resize(kPlanSlots, SegmentRange{0, -1});
      WriteAll(t.plan.plan_path, SerializeInfoFile(t.plan.record));
    }
    return p.result.outcome;
  }
  // The slot of the plan that holds what quarter i still needs; -1 when
  // it needs nothing.
  int SlotOf(int i) {
    std::vector<SegmentRange> quarters;
    MakeFreshPartition(1003, quarters);
    for (size_t s = 0; s < t.plan.record.ranges.size(); ++s) {
      if (t.plan.record.ranges[s].end == quarters[i].end) return s;
    }
    return -1;
  }
  // Runs connection `i` on quarter i alone (the other ranges are another
  // connection's); its result.
  const StepResult& Run(int i) {
    const size_t slots = t.plan.record.ranges.size();
    t.owner.assign(slots, 99);
    t.reach.assign(slots, 0);
    t.failed.assign(slots, false);
    if (t.plan.ranged && SlotOf(i) >= 0) t.owner[SlotOf(i)] = i;
    d.DownloadSegment(&t, i);
    return t.results[i];
  }
  std::string Save() const { return dir.File("f.exe"); }
  // What the first segment connection sent.
  std::string Sent() {
    auto connections = fake.network.Connections();
    return connections.size() < 2 ? std::string() : connections[1].sent;
  }
  std::string PartPath() { return t.plan.part_path; }
  // The bytes segment `i` has on disk: with ranges those of the part file
  // from quarter i's first byte up to where its slot starts now (none
  // without a part file); with one connection the whole part file.
  std::string Segment(int i) {
    std::string part = ReadAll(PartPath());
    if (!t.plan.ranged) return part;
    std::vector<SegmentRange> quarters;
    MakeFreshPartition(1003, quarters);
    const size_t origin = quarters[i].start;
    const int slot = SlotOf(i);
    const size_t start =
        slot < 0 ? quarters[i].end + 1 : t.plan.record.ranges[slot].start;
    if (part.size() < start) return std::string();
    return part.substr(origin, start - origin);
  }

  bool secure;
  TempDir dir;
  FakeEnv fake;
  Downloader d;
  Transfer t;
};

class SegmentWorkerTest : public ::testing::Test {
 protected:
  const std::string content_ = testing::Pattern(1003);
};

TEST_F(SegmentWorkerTest, WritesExactlyTheRange) {
  const std::string body = content_.substr(250, 250);
  const std::string answer = Ranged(250, 499, body);
  const std::string etag = "ETag: \"v1\"\r\n";
  struct {
    const char* name;
    std::vector<std::string> chunks;
    std::string probe_fields;
    bool secure;
  } cases[] = {
      {"OnePiece", {answer}, "", false},
      {"HeaderSplitIntoTinyPieces",
       {answer.substr(0, 3), answer.substr(3, 10), answer.substr(13, 40),
        answer.substr(53)},
       "",
       false},
      {"KeepAliveWithExtraBytes",
       {answer + "HTTP/1.1 206 next answer..."},
       "",
       false},
      {"SameETagAsTheProbe",
       {Ranged(250, 499, body, kDateLine + etag)},
       etag,
       false},
      {"OverTls", {answer}, "", true},
  };
  for (const auto& c : cases) {
    SocketScript script;
    script.chunks = c.chunks;
    Rig rig(true, script, c.probe_fields, c.secure);
    ASSERT_EQ(Outcome::kOk, rig.Prepare()) << c.name;
        EXPECT_EQ(Outcome::kOk, rig.Run(1).outcome) << c.name;
    EXPECT_EQ(206, rig.t.results[1].status) << c.name;
    EXPECT_EQ(body, rig.Segment(1)) << c.name;
    // The start moved in the plan file too, in place.
    EXPECT_EQ(SerializeInfoFile(rig.t.plan.record),
              ReadAll(rig.t.plan.plan_path))
        << c.name;
    EXPECT_NE(std::string::npos, rig.Sent().find("Range: bytes=250-499\r\n"))
        << c.name;
    EXPECT_EQ(c.secure ? "h" : "", rig.fake.network.Connections()[1].tls_host)
        << c.name;
  }
}

TEST_F(SegmentWorkerTest, FailuresWriteNothing) {
  const std::string body = content_.substr(250, 250);
  const std::string etag = "ETag: \"v1\"\r\n";
  SocketScript chunked_then_bare_lf;
  chunked_then_bare_lf.chunks = {
      "HTTP/1.1 206 Partial Content\r\n" + kDateLine +
          "Content-Range: bytes 250-499/1003\r\n"
          "Transfer-Encoding: chunked\r\n\r\nfa\r\n" +
          body,
      "\r\n0\r\n\n"};
  struct {
    const char* name;
    SocketScript segment;
    std::string probe_fields;
    bool secure;
    Outcome outcome;
    int32_t status;
    platform::ErrorKind error;
    size_t requests = 1;  // a passing server fault is asked again
  } cases[] = {
      {"WholeFileToARangeRequest",
       Answer("HTTP/1.1 200 OK\r\n" + kDateLine +
              "Content-Length: 1003\r\n\r\n" + content_),
       "", false, Outcome::kWrongAnswer, 200, platform::ErrorKind::kOther},
      {"RangeFromAnotherStart", Answer(Ranged(0, 249, content_.substr(0, 250))),
       "", false, Outcome::kWrongAnswer, 206, platform::ErrorKind::kOther},
      {"NotFound",
       Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!"), "",
       false, Outcome::kWrongAnswer, 404, platform::ErrorKind::kOther},
      {"ServiceUnavailable",
       Answer("HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy"), "", false,
       Outcome::kServerError, 503, platform::ErrorKind::kOther, 6},
      // The file was replaced at the same size since the probe.
      {"AnotherLastModified",
       Answer(Ranged(250, 499, body,
                     "Last-Modified: Sun, 06 Nov 1994 08:49:38 GMT\r\n")),
       "", false, Outcome::kOtherFile, 206, platform::ErrorKind::kOther},
      {"NoLastModified", Answer(Ranged(250, 499, body, "")), "", false,
       Outcome::kOtherFile, 206, platform::ErrorKind::kOther},
      {"AnotherETag",
       Answer(Ranged(250, 499, body, kDateLine + "ETag: \"v2\"\r\n")), etag,
       false, Outcome::kOtherFile, 206, platform::ErrorKind::kOther},
      {"NoETag", Answer(Ranged(250, 499, body)), etag, false,
       Outcome::kOtherFile, 206, platform::ErrorKind::kOther},
      // Its data was written before the framing broke: the start goes back.
      {"MalformedChunkedRange", chunked_then_bare_lf, "", false,
       Outcome::kBadAnswer, 206, platform::ErrorKind::kOther},
  };
  for (const auto& c : cases) {
    Rig rig(true, c.segment, c.probe_fields, c.secure);
    ASSERT_EQ(Outcome::kOk, rig.Prepare()) << c.name;
    const StepResult& slot = rig.Run(1);
    EXPECT_EQ(c.outcome, slot.outcome) << c.name;
    EXPECT_EQ(c.status, slot.status) << c.name;
    EXPECT_EQ(c.error, slot.error.kind()) << c.name;
    // Every failure names the server.
    EXPECT_EQ("h:" + std::string(c.secure ? "443" : "80"), slot.error.object())
        << c.name;
    EXPECT_EQ("", rig.Segment(1)) << c.name;
    if (c.outcome != Outcome::kBadAnswer) {
      EXPECT_FALSE(Exists(rig.PartPath())) << c.name;
    }
    EXPECT_EQ(c.requests + 1, rig.fake.network.Connections().size()) << c.name;
  }
}

// A connection that breaks is asked again for what the segment still
// lacks, after a pause; a server that keeps breaking it leaves the segment
// incomplete after five retries, with what arrived kept.
TEST_F(SegmentWorkerTest, BrokenTransfersAreRetriedFromTheMissingByte) {
  const std::string answer = Ranged(500, 749, content_.substr(500, 250));
  const std::string half = answer.substr(0, answer.size() - 125);
  const std::string rest = Ranged(625, 749, content_.substr(625, 125));
  const std::string rest_cut = rest.substr(0, rest.size() - 125);
  struct {
    int after;  // how the cut connection ends: closed, or an error
    bool recovers;
    Outcome outcome;
    size_t retries;
    size_t kept;  // bytes of the segment on disk
  } cases[] = {
      {0, true, Outcome::kOk, 1, 250},
      {platform::kSocketError, true, Outcome::kOk, 1, 250},
      {0, false, Outcome::kBroken, 5, 125},
      {platform::kSocketError, false, Outcome::kBroken, 5, 125},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.after << (c.recovers ? " recovers" : ""));
    Rig rig(true, Answer(half, c.after));
    rig.fake.network.Script("h:80", Answer(c.recovers ? rest : rest_cut));
    std::vector<uint32_t> pauses;
    Downloader::Observer observer;
    observer.retrying = [&](const Transfer&, int index, int retry,
                            const StepResult& why, uint32_t pause_ms) {
      EXPECT_EQ(2, index);
      EXPECT_EQ(static_cast<int>(pauses.size()) + 1, retry);
      EXPECT_EQ(Outcome::kBroken, why.outcome);
      pauses.push_back(pause_ms);
    };
    rig.d.SetObserver(observer);
    ASSERT_EQ(Outcome::kOk, rig.Prepare());
    EXPECT_EQ(c.outcome, rig.Run(2).outcome);
    EXPECT_EQ(content_.substr(500, c.kept), rig.Segment(2));
    const std::vector<uint32_t> all_pauses = {1000, 2000, 4000, 8000, 16000};
    EXPECT_EQ(std::vector<uint32_t>(all_pauses.begin(),
                                    all_pauses.begin() + c.retries),
              pauses);
    // Every retry asks for the bytes from the first one missing.
    auto connections = rig.fake.network.Connections();
    ASSERT_EQ(c.retries + 2, connections.size());
    EXPECT_NE(std::string::npos,
              connections.back().sent.find("Range: bytes=625-749\r\n"));
  }
}

TEST_F(SegmentWorkerTest, FailedWriteEndsTheSegment) {
  Rig rig(true, Answer(Ranged(0, 249, content_.substr(0, 250))));
  ASSERT_EQ(Outcome::kOk, rig.Prepare());
  rig.fake.files.fail_writes = true;
    EXPECT_EQ(Outcome::kWriteFailed, rig.Run(0).outcome);
  EXPECT_EQ(rig.PartPath(), rig.t.results[0].error.object());
  EXPECT_EQ("", rig.Segment(0));
}

// An older client's record and segment files: taken over, then continued.
TEST_F(SegmentWorkerTest, ResumedPlanContinuesItsSegments) {
  Rig rig(true, Answer(Ranged(803, 1002, content_.substr(803))));
  ResumeRecord record;
  record.url = "http://h/f.exe";
  record.save_path = rig.Save();
  ASSERT_TRUE(
      Time64::FromUtcFields(1994, 11, 6, 8, 49, 37, &record.last_modified));
  record.file_size = 1003;
  MakeFreshPartition(1003, record.ranges);
  WriteAll(rig.Save() + ".down", SerializeInfoFile(record, PlanLayout::k32));
  WriteAll(rig.Save() + ".down0", content_.substr(0, 250));   // complete
  WriteAll(rig.Save() + ".down3", content_.substr(750, 53));  // part
  ASSERT_EQ(Outcome::kOk, rig.Prepare());
  ASSERT_TRUE(rig.t.plan.resumed);

  rig.Run(0);  // not requested again
  EXPECT_EQ(Outcome::kOk, rig.t.results[0].outcome);
  EXPECT_EQ(1u, rig.fake.network.Connections().size());
    EXPECT_EQ(Outcome::kOk, rig.Run(3).outcome);
  EXPECT_EQ(content_.substr(750), rig.Segment(3));
  EXPECT_NE(std::string::npos, rig.Sent().find("Range: bytes=803-1002\r\n"));
}

TEST_F(SegmentWorkerTest, StopFlagAdvancesTheStart) {
  std::string answer = Ranged(0, 249, content_.substr(0, 250));
  SocketScript script;
  script.chunks = {answer.substr(0, answer.size() - 200),
                   answer.substr(answer.size() - 200)};
  Rig rig(true, script);
  ASSERT_EQ(Outcome::kOk, rig.Prepare());
  rig.d.RequestStop(0);
  EXPECT_EQ(Outcome::kStopped, rig.Run(0).outcome);
  EXPECT_EQ(50, rig.t.plan.record.ranges[rig.SlotOf(0)].start);
  EXPECT_EQ(content_.substr(0, 50), rig.Segment(0));
}

TEST_F(SegmentWorkerTest, SingleConnectionMode) {
  const std::string ok =
      "HTTP/1.1 200 OK\r\n" + kDateLine + "Content-Length: 1003\r\n\r\n";
  auto status_only = [](const std::string& status_line) {
    return status_line + "\r\n" + kDateLine + "\r\n";
  };
  const std::string chunked =
      "HTTP/1.1 200 OK\r\n" + kDateLine + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string until_close = "HTTP/1.0 200 OK\r\n" + kDateLine + "\r\n";
  // The body in two chunks, the first with an extension.
  const std::string chunks = "100;x=1\r\n" + content_.substr(0, 256) +
                             "\r\n2EB\r\n" + content_.substr(256) + "\r\n";
  struct {
    const char* name;
    std::string answer;
    Outcome outcome;
    bool sized_by_body = false;  // the probe learned no size
    int64_t announced = -1;      // the version file's SIZE
    bool reads_body = false;     // a failure comes after the part file opened
  } cases[] = {
      {"WholeFile", ok + content_, Outcome::kOk},
      {"NoLengthUntilClose",
       "HTTP/1.0 200 OK\r\n" + kDateLine + "\r\n" + content_, Outcome::kOk},
      {"ExtraBytesNotWritten", ok + content_ + "junk", Outcome::kOk},
      {"UnknownSuccessStatus",
       "HTTP/1.1 299 Fine\r\n" + kDateLine + "Content-Length: 1003\r\n\r\n" +
           content_,
       Outcome::kOk},
      {"FileChangedSinceProbe",
       "HTTP/1.1 200 OK\r\n" + kDateLine + "Content-Length: 1004\r\n\r\n" +
           content_ + "x",
       Outcome::kWrongAnswer},
      {"ChunkedWithALength",
       "HTTP/1.1 200 OK\r\n" + kDateLine +
           "Transfer-Encoding: chunked\r\nContent-Length: 1003\r\n\r\n" +
           chunks + "0\r\n\r\n",
       Outcome::kWrongAnswer},
      {"ChunkedShortOfTheProbedSize",
       chunked + "3EA\r\n" + content_.substr(0, 1002) + "\r\n0\r\n\r\n",
       Outcome::kWrongAnswer, false, -1, true},
      {"ChunkOverTheProbedSize", chunked + "3EC\r\n" + content_ + "x",
       Outcome::kWrongAnswer, false, -1, true},
      {"MalformedChunk", chunked + chunks + "0\r\n\n", Outcome::kBadAnswer,
       false, -1, true},
      {"ChunkedCutBeforeItsLastChunk", chunked + chunks, Outcome::kBroken,
       false, -1, true},
      // Without a size from the probe the body tells it.
      {"LengthSizesThePackage", ok + content_, Outcome::kOk, true},
      {"ChunkedNotTheAnnouncedSize", chunked + chunks + "0\r\n\r\n",
       Outcome::kWrongSize, true, 1004, true},
      {"ChunkedEmpty", chunked + "0\r\n\r\n", Outcome::kEmptyPackage, true, -1,
       true},
      {"UntilCloseWithoutAnnouncement", until_close + content_,
       Outcome::kBadAnswer, true},
      {"UntilCloseShortOfTheAnnouncedSize", until_close + content_,
       Outcome::kBroken, true, 1004, true},
      {"UntilClosePastTheAnnouncedSize", until_close + content_,
       Outcome::kWrongSize, true, 1002, true},
      {"PartialContent", Ranged(0, 1002, content_), Outcome::kWrongAnswer},
      {"ServerError", "HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy",
       Outcome::kServerError},
      {"NoContent", status_only("HTTP/1.1 204 No Content"),
       Outcome::kUnexpectedStatus},
      {"ResetContent", status_only("HTTP/1.1 205 Reset Content"),
       Outcome::kUnexpectedStatus},
      {"InstanceManipulationUsed", status_only("HTTP/1.1 226 IM Used"),
       Outcome::kUnexpectedStatus},
      {"NotModified", status_only("HTTP/1.1 304 Not Modified"),
       Outcome::kUnexpectedStatus},
      {"SwitchingProtocols", status_only("HTTP/1.1 101 Switching Protocols"),
       Outcome::kUnexpectedStatus},
  };
  for (const auto& c : cases) {
    Rig rig(false, Answer(c.answer));
    ASSERT_EQ(Outcome::kOk, rig.Prepare()) << c.name;
    // As a probe that learned no size leaves the plan.
    if (c.sized_by_body) rig.t.plan.size = -1;
    rig.d.SetExpectedPackage(c.announced, "");
    // One connection always starts the file afresh.
    WriteAll(rig.PartPath(), "old");
        EXPECT_EQ(c.outcome, rig.Run(0).outcome) << c.name;
        if (c.outcome == Outcome::kOk) {
          EXPECT_EQ(1003, rig.t.plan.size) << c.name;
        }
        if (!c.reads_body) {
          EXPECT_EQ(c.outcome == Outcome::kOk ? content_ : std::string("old"),
                    rig.Segment(0))
              << c.name;
        }
    EXPECT_EQ(std::string::npos, rig.Sent().find("Range:")) << c.name;
  }
}

// A segment through a proxy: it connects to the proxy, asks in the
// absolute form with its range, and a failure writes nothing (the
// exchange's own proxy cases are in connection_test.cc).
TEST(SegmentThroughProxy, OutcomesAndBytes) {
  const std::string content = testing::Pattern(1003);
  const std::string good = Ranged(250, 499, content.substr(250, 250));
  struct {
    const char* name;
    platform::ProxyRoute route;
    bool connects;
    std::string answer;
    Outcome outcome;
  } cases[] = {
      {"Complete", testing::HttpProxy("px", 3128), true, good, Outcome::kOk},
      {"ProxyWantsCredentials", testing::HttpProxy("px", 3128), true,
       "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n",
       Outcome::kProxyAuthRequired},
      {"ServerRefusalStaysWrongAnswer", testing::HttpProxy("px", 3128), true,
       "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
       Outcome::kWrongAnswer},
  };
  for (const auto& c : cases) {
    // The probe went direct; the route changes before the segment.
    Rig rig(true, Answer(good));
    ASSERT_EQ(Outcome::kOk, rig.Prepare()) << c.name;
    rig.fake.proxies.RouteAll(c.route);
    SocketScript script = Answer(c.answer);
    script.connect_ok = c.connects;
    rig.fake.network.Script("px:3128", script);
        EXPECT_EQ(c.outcome, rig.Run(1).outcome) << c.name;
    EXPECT_EQ(
        c.outcome == Outcome::kOk ? content.substr(250, 250) : std::string(),
        rig.Segment(1))
        << c.name;
    EXPECT_EQ(c.outcome == Outcome::kOk, Exists(rig.PartPath())) << c.name;
    auto conns = rig.fake.network.Connections();
    if (c.route.kind == platform::ProxyRoute::Kind::kUnsupported) {
      EXPECT_EQ(1u, conns.size()) << c.name;  // the probe's alone
      continue;
    }
    ASSERT_EQ(2u, conns.size()) << c.name;
    EXPECT_EQ("px:3128", conns[1].host_port) << c.name;
    if (c.connects) {
      EXPECT_EQ(
          "GET http://h/f.exe HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n"
          "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
          "Range: bytes=250-499\r\n\r\n",
          conns[1].sent)
          << c.name;
    }
  }
}

}  // namespace
}  // namespace vorn
