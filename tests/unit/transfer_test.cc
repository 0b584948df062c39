#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/text.h"
#include "tests/unit/crash_file_system.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/fake_http.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {
namespace {

using testing::Exists;
using testing::FakeEnv;
using testing::FakeFile;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

constexpr char kPrefix[] = "12- 6 21:54  ";

// `line` followed by its detail: "：" and `object`, then "：" and `reason`
// when there is one.
std::string Detailed(const std::string& line, const std::string& object,
                     const char* reason = nullptr) {
  std::string out = line + msg::kDetailSeparator + object;
  if (reason != nullptr) out += std::string(msg::kDetailSeparator) + reason;
  return out;
}

std::string Lines(std::initializer_list<const char*> messages) {
  std::string out;
  for (const char* m : messages) out += std::string(kPrefix) + m + "\r\n";
  return out;
}

// The log without its retry lines (four workers retry in any order), and
// how many there were.
std::string WithoutRetries(const std::string& log, int* retries) {
  std::string out;
  *retries = 0;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find("\r\n", at);
    end = end == std::string::npos ? log.size() : end + 2;
    const std::string line = log.substr(at, end - at);
    if (line.find(msg::kRetryAfterSeconds) == std::string::npos) {
      out += line;
    } else {
      ++*retries;
    }
    at = end;
  }
  return out;
}

// An update run that has got as far as the download: its log path is set
// (a first run over an unanswered fetch sets it, then the log is emptied)
// and its version file announces http://h/pkg.exe.
struct DownloadRun {
  explicit DownloadRun(const std::string& dir) : updater(&fake.env), dir_(dir) {
    // Even these small packages come in quarters.
    updater.downloader().SetSharing(kSplitFloorBytes, 0);
    updater.SetParameters(
        {"http://h/v.txt", "1.0", dir_, "pkg.exe", false, "T"});
    updater.RunUpdate();
    WriteAll(File("updatelog.txt"), "");
    updater.set_version_file(
        ReadVersionFile("VER=2.0\r\nURL=http://h/pkg.exe\r\n", false));
  }
  std::string File(const std::string& name) const {
    return dir_ + platform::kPathSeparator + name;
  }
  std::string Package() const { return File("pkg.exe"); }
  std::string Part() const { return Package() + ".part"; }
  std::string Plan() const { return Package() + ".plan"; }
  // The plan on disk.
  ResumeRecord PlanOnDisk() const {
    ResumeRecord r;
    EXPECT_TRUE(ReadInfoFile(ReadAll(Plan()), &r));
    return r;
  }
  std::string Log() const { return ReadAll(File("updatelog.txt")); }
  void Serve(const FakeFile& file) {
    fake.network.Serve("h:80", testing::ServeFile(file));
  }

  FakeEnv fake;
  Updater updater;

 private:
  std::string dir_;
};

FakeFile Content(size_t size, bool ranges = true, size_t piece = 0) {
  FakeFile file;
  file.content = testing::Pattern(size, static_cast<unsigned>(size));
  file.ranges = ranges;
  file.piece = piece;
  return file;
}

TEST(Transfer, WholeRoadInBothModes) {
  struct {
    size_t size;
    bool ranges;
    size_t piece;
    size_t connections;
    bool small = false;  // below the size that pays for more connections
  } cases[] = {{101, true, 0, 2},    {1003, true, 7, 5},
               {70001, true, 1500, 5}, {70001, true, 1500, 2, true},
               {1003, false, 0, 1},  {70001, false, 999, 1}};
  for (const auto& c : cases) {
    TempDir dir;
    DownloadRun run(dir.path());
    if (c.small) run.updater.downloader().SetSharing(kSplitFloorBytes, 70001);
    FakeFile file = Content(c.size, c.ranges, c.piece);
    run.Serve(file);
    run.updater.StartDownload();
    std::string what =
        std::to_string(c.size) + (c.ranges ? " ranged" : " single");
    EXPECT_TRUE(file.content == ReadAll(run.Package())) << what;
    // Without ranges the probe's answer is the package; a small package
    // needs one more request, for its first 100 bytes; a larger one is the
    // probe and four quarters.
    EXPECT_EQ(c.connections, run.fake.network.Connections().size())
        << what;
    EXPECT_FALSE(Exists(run.Part())) << what;
    EXPECT_FALSE(Exists(run.Plan())) << what;
    EXPECT_EQ(Lines({msg::kDownloadSucceeded, msg::kUpdated}), run.Log())
        << what;
    EXPECT_EQ(1u, run.fake.desktop.boxes.size()) << what;
  }
}

// One connection writes the part file afresh: a plan kept beside it would
// describe bytes that are no longer there.
TEST(Transfer, SingleConnectionDropsAKeptPlan) {
  TempDir dir;
  DownloadRun run(dir.path());
  FakeFile file = Content(1003, /*ranges=*/false);
  run.Serve(file);
  ResumeRecord r;
  r.url = "http://h/pkg.exe";
  r.last_modified = Time64(int64_t{1} << 40);
  MakeFreshPartition(1103, r.ranges);
  WriteAll(run.Plan(), SerializeInfoFile(r));
  run.updater.StartDownload();
  EXPECT_TRUE(file.content == ReadAll(run.Package()));
  EXPECT_FALSE(Exists(run.Plan()));
}

// Answers the range starting at `bad_start` with `bad` while *fault is set,
// and every other request properly.
testing::FakeNetwork::Responder FaultyWhile(const FakeFile& file, int bad_start,
                                            const std::string& bad,
                                            const std::atomic<bool>* fault) {
  auto good = testing::ServeFile(file);
  return [good, bad, bad_start, fault](const std::string& request) {
    std::string wanted = "Range: bytes=" + std::to_string(bad_start) + "-";
    if (*fault && request.find(wanted) != std::string::npos) {
      testing::SocketScript s;
      s.chunks = {bad};
      return s;
    }
    return good(request);
  };
}

std::string WholeFileAnswer(const FakeFile& file) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " +
         std::to_string(file.content.size()) + "\r\n\r\n" + file.content;
}

// The file is replaced at the same size between the probe and the segments
// (a rolling deploy, or mirrors with their own dates behind one name): no
// answer of the new file is joined with the old one; the whole file comes
// through one connection, whose one answer is the package.
TEST(Transfer, FileReplacedAfterTheProbeIsNeverMixed) {
  TempDir dir;
  DownloadRun run(dir.path());
  WriteAll(run.Package(), "old");
  FakeFile before = Content(1003);
  FakeFile after = before;
  after.content = testing::Pattern(1003, 77);
  after.last_modified = "Mon, 07 Nov 1994 08:49:37 GMT";
  auto serve_before = testing::ServeFile(before);
  auto serve_after = testing::ServeFile(after);
  run.fake.network.Serve("h:80", [&](const std::string& request) {
    return request.find("Range: bytes=100-\r\n") != std::string::npos
               ? serve_before(request)
               : serve_after(request);
  });
  run.updater.StartDownload();
  EXPECT_EQ(after.content, ReadAll(run.Package()));
  EXPECT_EQ(Lines({Detailed(msg::kOneAnswer, "h:80").c_str(),
                   msg::kDownloadSucceeded, msg::kUpdated}),
            run.Log());
  // The probe, the ranges (one of them asked again by whichever connection
  // was free when another gave it up), then one request without a range.
  auto connections = run.fake.network.Connections();
  ASSERT_GE(connections.size(), 5u);
  EXPECT_EQ(std::string::npos, connections.back().sent.find("Range:"));
}

// A server that trickles (every receive brings a few bytes, but each takes
// long) cannot stretch a run: the probe's head has a bound of its own, and
// a body slower than 1 KiB/s over a minute fails its segment as stalled.
TEST(Transfer, TricklingServerEndsTheRun) {
  struct {
    const char* name;
    size_t piece;       // bytes per receive
    int64_t step_ms;    // time between two looks at the clock
    bool probe_piece;   // the probe's answer trickles too
    std::string line;
    int retries;  // each stalled segment is asked again, five times
  } cases[] = {
      {"head_one_byte_a_second", 1, 1000, true,
       Detailed(msg::kServerSilent, "h:80", msg::kReasonTimedOut), 0},
      // The probe's head comes whole; the four quarters trickle.
      {"body_below_the_low_speed", 64, 2000, false,
       Detailed(std::string(msg::kSegmentPrefix) + "1" + msg::kSegmentBroken,
                "h:80", msg::kReasonTimedOut),
       4 * kMaxSegmentRetries},
  };
  for (const auto& c : cases) {
    TempDir dir;
    DownloadRun run(dir.path());
    WriteAll(run.Package(), "old");
    FakeFile file = Content(400000, true, c.piece);
    auto serve = testing::ServeFile(file);
    auto whole = testing::ServeFile(Content(400000));
    run.fake.network.Serve("h:80", [&](const std::string& request) {
      bool probe = request.find("Range: bytes=100-\r\n") != std::string::npos;
      if (!probe) return serve(request);
      testing::SocketScript script = whole(request);
      if (c.probe_piece) {
        std::string all;
        for (const std::string& chunk : script.chunks) all += chunk;
        script.chunks.clear();
        for (char byte : all.substr(0, all.find("\r\n\r\n") + 4)) {
          script.chunks.push_back(std::string(1, byte));
        }
      }
      return script;
    });
    run.fake.clock.step_ms = c.step_ms;
    run.updater.StartDownload();
    EXPECT_EQ("old", ReadAll(run.Package())) << c.name;
    int retries = 0;
    EXPECT_EQ(0u,
              WithoutRetries(run.Log(), &retries).find(Lines({c.line.c_str()})))
        << c.name;
    EXPECT_EQ(c.retries, retries) << c.name;
  }
}

// A segment cut short is asked again, within the run, for the bytes it
// lacks: one retry line, and the package whole.
TEST(Transfer, CutSegmentIsRetriedWithinTheRun) {
  TempDir dir;
  DownloadRun run(dir.path());
  WriteAll(run.Package(), "old");
  FakeFile file = Content(1003);
  std::atomic<bool> fault{true};
  // Segment 3 (500-749) ends after 100 of its 250 bytes, once.
  std::string short_answer =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 500-749/1003\r\n"
      "Last-Modified: " + file.last_modified + "\r\nContent-Length: 250\r\n\r\n" +
      file.content.substr(500, 100);
  run.fake.network.Serve("h:80", FaultyWhile(file, 500, short_answer, &fault));
  run.fake.clock.on_sleep = [&](uint32_t) { fault = false; };
  run.updater.StartDownload();
  EXPECT_EQ(file.content, ReadAll(run.Package()));
  EXPECT_EQ(Lines({(Detailed(std::string(msg::kSegmentPrefix) + "3" +
                                 msg::kSegmentBroken,
                             "h:80") +
                    msg::kRetryComma + "1" + msg::kRetryAfterSeconds + "1" +
                    msg::kRetryClose)
                       .c_str(),
                   msg::kDownloadSucceeded, msg::kUpdated}),
            run.Log());
  bool asked_for_the_rest = false;
  for (const auto& connection : run.fake.network.Connections()) {
    asked_for_the_rest |=
        connection.sent.find("Range: bytes=600-749\r\n") != std::string::npos;
  }
  EXPECT_TRUE(asked_for_the_rest);
}

// Also for a package that the version file names over http and the server
// redirects to https: the plan keeps the URL as the version file gives it.
TEST(Transfer, FailedSegmentKeepsThePackageAndResumesNextRun) {
  for (bool redirected : {false, true}) {
    SCOPED_TRACE(redirected ? "redirected to https" : "direct");
    const std::string where = redirected ? "h:443" : "h:80";
    auto redirect = [&](DownloadRun* run) {
      if (!redirected) return;
      run->fake.network.Serve("h:80", [](const std::string&) {
        testing::SocketScript s;
        s.chunks = {"HTTP/1.1 302 Found\r\nLocation: https://h/pkg.exe\r\n"
                    "Content-Length: 0\r\n\r\n"};
        return s;
      });
    };
    TempDir dir;
    DownloadRun first(dir.path());
    WriteAll(first.Package(), "the installed package");
    FakeFile file = Content(1003);
    std::atomic<bool> fault{true};
    redirect(&first);
    first.fake.network.Serve(
        where, FaultyWhile(file, 250, WholeFileAnswer(file), &fault));
    first.updater.StartDownload();

    EXPECT_EQ("the installed package", ReadAll(first.Package()));
    EXPECT_EQ(Lines({Detailed(std::string(msg::kSegmentPrefix) + "2" +
                                  msg::kSegmentWrongAnswer,
                              where)
                         .c_str(),
                     msg::kDownloadFailed}),
              first.Log());
    EXPECT_TRUE(first.fake.desktop.boxes.empty());
    EXPECT_TRUE(first.fake.windows.commands.empty());
    EXPECT_TRUE(file.content.substr(0, 250) ==
                ReadAll(first.Part()).substr(0, 250));
    // The plan now needs only the failed range.
    const ResumeRecord r = first.PlanOnDisk();
    EXPECT_EQ("http://h/pkg.exe", r.url);
    std::vector<std::pair<int64_t, int64_t>> needed;
    for (const SegmentRange& range : r.ranges) {
      if (range.start <= range.end) needed.push_back({range.start, range.end});
    }
    EXPECT_EQ((std::vector<std::pair<int64_t, int64_t>>{{250, 499}}), needed);

    // The next run fetches only the missing segment.
    fault = false;
    DownloadRun second(dir.path());
    redirect(&second);
    second.fake.network.Serve(where, testing::ServeFile(file));
    second.updater.StartDownload();
    EXPECT_TRUE(file.content == ReadAll(second.Package()));
    auto connections = second.fake.network.Connections();
    // The probe (after its redirect) and segment 2 alone.
    ASSERT_EQ(redirected ? 3u : 2u, connections.size());
    EXPECT_EQ(where, connections.back().host_port);
    EXPECT_NE(std::string::npos,
              connections.back().sent.find("Range: bytes=250-499\r\n"));
  }
}

// A connection whose range fails gives up the ranges queued for it too, and
// the connections standing by to split stop waiting for them: the run
// ends, failed, with the package as it was.
TEST(Transfer, FailedConnectionLeavesNobodyWaiting) {
  TempDir dir;
  DownloadRun run(dir.path());
  WriteAll(run.Package(), "old");
  // Quarters large enough to split.
  run.updater.downloader().SetSharing(100, 0);
  FakeFile file = Content(1003);
  std::atomic<bool> fault{true};
  run.fake.network.Serve("h:80",
                         FaultyWhile(file, 0, WholeFileAnswer(file), &fault));
  // The fake clock's sleeps return at once: a short real one lets the
  // other connections run, so only a connection that waits forever counts
  // up to the bound (a few seconds).
  std::atomic<int> sleeps{0};
  run.fake.clock.on_sleep = [&](uint32_t) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (++sleeps == 100000) {
      for (int i = 0; i < kSegmentCount; ++i) {
        run.updater.downloader().RequestStop(i);
      }
    }
  };
  run.updater.StartDownload();
  EXPECT_LT(sleeps.load(), 100000);
  EXPECT_EQ("old", ReadAll(run.Package()));
  EXPECT_EQ(Lines({Detailed(std::string(msg::kSegmentPrefix) + "1" +
                                msg::kSegmentWrongAnswer,
                            "h:80")
                       .c_str(),
                   msg::kDownloadFailed}),
            run.Log());
}

// The whole road through a proxy, and the log of each of its failures:
// the proxy line first, then the probe's or the segments' reason.
TEST(Transfer, ThroughAProxy) {
  const FakeFile file = Content(1003);
  const std::string using_proxy =
      std::string(msg::kUsingProxy) + "test=px:3128";
  // The lines of connections `first` to 4.
  auto segment_lines = [&](const std::string& reason, int first = 1) {
    std::string out;
    for (int i = first; i <= 4; ++i) {
      out += Lines({(std::string(msg::kSegmentPrefix) + std::to_string(i) +
                     reason)
                        .c_str()});
    }
    return Lines({using_proxy.c_str()}) + out +
           Lines({msg::kDownloadFailed});
  };
  auto answer = [](const std::string& text) {
    testing::SocketScript s;
    s.chunks = {text};
    return s;
  };
  // The probe's answer alone is good; every segment meets `segment`.
  auto probe_only = [&](testing::SocketScript segment) {
    auto good = testing::ServeFile(file);
    return [good, segment](const std::string& request) {
      if (request.find("Range: bytes=100-\r\n") != std::string::npos) {
        return good(request);
      }
      return segment;
    };
  };
  testing::SocketScript refused;
  refused.connect_ok = false;
  platform::ProxyRoute unsupported;
  unsupported.kind = platform::ProxyRoute::Kind::kUnsupported;
  unsupported.description = "test=socks5://px:1080";
  const std::string using_unsupported =
      std::string(msg::kUsingProxy) + unsupported.description;

  struct {
    const char* name;
    platform::ProxyRoute route;
    std::function<void(testing::FakeNetwork*)> proxy;
    bool joined;
    std::string log;
  } cases[] = {
      {"whole_road",
       testing::HttpProxy("px", 3128),
       [&](testing::FakeNetwork* n) {
         n->Serve("px:3128", testing::ServeFile(file));
       },
       true,
       Lines({using_proxy.c_str(), msg::kDownloadSucceeded, msg::kUpdated})},
      {"proxy_refuses",
       testing::HttpProxy("px", 3128),
       [&](testing::FakeNetwork* n) { n->Script("px:3128", refused); },
       false,
       Lines({using_proxy.c_str(),
              Detailed(msg::kProxyUnreachable, "px:3128", msg::kReasonRefused)
                  .c_str()})},
      {"proxy_wants_credentials",
       testing::HttpProxy("px", 3128),
       [&](testing::FakeNetwork* n) {
         n->Script("px:3128",
                   answer("HTTP/1.0 407 Proxy Authentication Required\r\n"
                          "\r\n"));
       },
       false,
       Lines({using_proxy.c_str(),
              Detailed(std::string(msg::kProxyAuthRequired) + "407", "px:3128")
                  .c_str()})},
      {"proxy_cannot_reach_server",
       testing::HttpProxy("px", 3128),
       [&](testing::FakeNetwork* n) {
         n->Script("px:3128", answer("HTTP/1.1 502 Unable to connect\r\n"
                                     "Content-Length: 0\r\n\r\n"));
       },
       false,
       Lines({using_proxy.c_str(),
              Detailed(std::string(msg::kProxyBadGateway) + "502", "px:3128")
                  .c_str()})},
      {"unsupported_proxy",
       unsupported,
       [](testing::FakeNetwork*) {},
       false,
       Lines({using_unsupported.c_str(),
              (msg::kProxyUnsupported + std::string(msg::kDetailSeparator) +
               unsupported.description)
                  .c_str()})},
      {"segments_cannot_connect",
       testing::HttpProxy("px", 3128),
       [&](testing::FakeNetwork* n) {
         n->Script("px:3128",
                   answer("HTTP/1.1 206 Partial Content\r\n"
                          "Content-Range: bytes 100-1002/1003\r\n"
                          "Content-Length: 903\r\n\r\n"));
         n->Script("px:3128", refused);
       },
       false,
       segment_lines(Detailed(msg::kSegmentProxyUnreachable, "px:3128",
                              msg::kReasonRefused))},
      {"segments_meet_proxy_errors",
       testing::HttpProxy("px", 3128),
       [&](testing::FakeNetwork* n) {
         n->Serve("px:3128",
                  probe_only(answer("HTTP/1.1 504 Gateway Timeout\r\n"
                                    "Content-Length: 0\r\n\r\n")));
       },
       false,
       segment_lines(Detailed(msg::kSegmentProxyError, "px:3128"))},
  };
  for (const auto& c : cases) {
    TempDir dir;
    DownloadRun run(dir.path());
    WriteAll(run.Package(), "old");
    run.fake.proxies.RouteAll(c.route);
    c.proxy(&run.fake.network);
    run.updater.StartDownload();
    EXPECT_EQ(c.joined, file.content == ReadAll(run.Package())) << c.name;
    if (!c.joined) {
      EXPECT_EQ("old", ReadAll(run.Package())) << c.name;
    }
    // Every segment that met the proxy's failure was asked again, five
    // times each.
    int retries = 0;
    EXPECT_EQ(c.log, WithoutRetries(run.Log(), &retries)) << c.name;
    int failed_segments = 0;
    for (size_t at = c.log.find(msg::kSegmentPrefix); at != std::string::npos;
         at = c.log.find(msg::kSegmentPrefix, at + 1)) {
      ++failed_segments;
    }
    EXPECT_EQ(c.joined ? 0 : failed_segments * kMaxSegmentRetries, retries)
        << c.name;
    for (const auto& connection : run.fake.network.Connections()) {
      EXPECT_EQ("px:3128", connection.host_port) << c.name;
    }
  }
}

// A complete part file that cannot replace the package stays, with its
// plan; the next run fetches nothing again and only renames it.
TEST(Transfer, FailedRenameLosesNothing) {
  TempDir dir;
  DownloadRun first(dir.path());
  WriteAll(first.Package(), "old");
  const FakeFile file = Content(5000);
  first.Serve(file);
  first.fake.files.fail_renames = true;
  first.fake.files.fail_writes_matching = ".part";
  first.updater.StartDownload();
  EXPECT_EQ("old", ReadAll(first.Package()));
  EXPECT_TRUE(file.content == ReadAll(first.Part()));
  EXPECT_EQ(Lines({Detailed(msg::kReplaceFailed, first.Package(),
                            msg::kReasonDiskFull)
                       .c_str(),
                   msg::kDownloadFailed}),
            first.Log());
  EXPECT_TRUE(first.fake.desktop.boxes.empty());

  DownloadRun second(dir.path());
  second.Serve(file);
  second.updater.StartDownload();
  EXPECT_TRUE(file.content == ReadAll(second.Package()));
  EXPECT_EQ(1u, second.fake.network.Connections().size());  // the probe
  EXPECT_FALSE(Exists(second.Part()));
  EXPECT_FALSE(Exists(second.Plan()));
}

// Only one instance runs, so a record for another URL is an older
// release's plan cut off: it goes, with its bytes, and the new package
// comes whole; no box holds the run.
TEST(Transfer, RecordForAnotherUrlIsDroppedAndTheNewPackageDownloaded) {
  TempDir dir;
  DownloadRun run(dir.path());
  run.Serve(Content(1003));
  ResumeRecord other;
  other.url = "http://h/other.exe";
  MakeFreshPartition(1003, other.ranges);
  WriteAll(run.Plan(), SerializeInfoFile(other));
  WriteAll(run.Part(), "bytes of the other package");
  run.updater.StartDownload();
  EXPECT_TRUE(run.fake.desktop.boxes.size() <= 1u);  // the completion notice
  EXPECT_EQ(Content(1003).content, ReadAll(run.Package()));
  EXPECT_FALSE(Exists(run.Plan()));
  EXPECT_FALSE(Exists(run.Part()));
  EXPECT_EQ(0u, run.Log().find(Lines({msg::kOtherPlanDropped,
                                      msg::kDownloadSucceeded})));
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// The checks of what is launched, over the whole road from the version
// text to the package: what runs, what is logged, what stays on disk.
TEST(Transfer, PackageChecksDecideWhatIsKept) {
  enum Key { kNoKey, kGoodKey, kBadKeyFile };
  const std::string kKeyHex = std::string(64, 'a') + std::string(64, '5');
  // The fake's good signature: 64 bytes of 0x5A.
  std::string kGoodSig;
  for (int i = 0; i < 64; ++i) kGoodSig += "5a";
  struct Case {
    const char* name;
    bool ranges;
    Key key;
    // Check lines put before VER; "@SHA" stands for the right digest,
    // "@SIZE" for the right size.
    std::vector<std::string> lines;
    bool serve_other_bytes;  // the server's file is not the one announced
    std::vector<std::string> log;  // "{pkg}" stands for the package's path
    bool replaced;          // the package file holds the served bytes
    size_t connections;
    // Connections alternate between two copies dated a day apart (mirrors
    // behind one name).
    bool mirrors = false;
  };
  const Case cases[] = {
      {"digest and size, ranged",
       true,
       kNoKey,
       {"@SHA", "@SIZE"},
       false,
       {msg::kDownloadSucceeded, msg::kUpdated},
       true,
       5},
      {"digest and size, single",
       false,
       kNoKey,
       {"@SHA", "@SIZE"},
       false,
       {msg::kDownloadSucceeded, msg::kUpdated},
       true,
       1},
      {"digest and size, mirrors",
       true,
       kNoKey,
       {"@SHA", "@SIZE"},
       false,
       {msg::kDownloadSucceeded, msg::kUpdated},
       true,
       5,
       true},
      {"changed after signing, ranged",
       true,
       kNoKey,
       {"@SHA", "@SIZE"},
       true,
       {Detailed(msg::kDigestMismatch, "{pkg}"), msg::kDownloadFailed},
       false,
       5},
      {"changed after signing, single",
       false,
       kNoKey,
       {"@SHA"},
       true,
       {Detailed(msg::kDigestMismatch, "{pkg}"), msg::kDownloadFailed},
       false,
       1},
      {"wrong size",
       true,
       kNoKey,
       {"@SHA", "SIZE=70000"},
       false,
       {Detailed(msg::kSizeMismatch, "h:80", "SIZE 70000, server 70001")},
       false,
       1},
      {"size past 64-bit signed",
       false,
       kNoKey,
       {"SIZE=18446744073709551615"},
       false,
       {Detailed(msg::kSizeMismatch, "h:80",
                 "SIZE 9223372036854775807, server 70001")},
       false,
       1},
      {"upper-case digest",
       true,
       kNoKey,
       {"SHA256=" + std::string(64, 'A')},
       false,
       {msg::kSha256LineInvalid},
       false,
       0},
      {"size with a sign",
       true,
       kNoKey,
       {"SIZE=+70001"},
       false,
       {msg::kSizeLineInvalid},
       false,
       0},
      {"key but no signature",
       true,
       kGoodKey,
       {"@SHA", "@SIZE"},
       false,
       {msg::kSignatureMissing},
       false,
       0},
      {"good signature",
       true,
       kGoodKey,
       {"@SHA", "@SIZE", "SIG=" + kGoodSig},
       false,
       {msg::kDownloadSucceeded, msg::kUpdated},
       true,
       5},
      {"bad signature",
       true,
       kGoodKey,
       {"@SHA", "@SIZE", "SIG=" + std::string(128, '6')},
       false,
       {msg::kSignatureInvalid},
       false,
       0},
      {"signature without size",
       true,
       kGoodKey,
       {"@SHA", "SIG=" + kGoodSig},
       false,
       {msg::kSignedFieldsMissing},
       false,
       0},
      {"broken key file",
       true,
       kBadKeyFile,
       {"@SHA", "@SIZE"},
       false,
       {Detailed(msg::kKeyFileInvalid, "{pub}")},
       false,
       0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    DownloadRun run(dir.path());
    FakeFile file = Content(70001, c.ranges, 4000);
    std::string announced = file.content;
    if (c.serve_other_bytes) file.content[12345] ^= 1;
    FakeFile copy = file;
    copy.last_modified = "Mon, 07 Nov 1994 08:49:37 GMT";
    auto serve = testing::ServeFile(file);
    auto serve_copy = testing::ServeFile(copy);
    std::atomic<int> served{0};
    run.fake.network.Serve("h:80", [&](const std::string& request) {
      return c.mirrors && served++ % 2 == 1 ? serve_copy(request)
                                            : serve(request);
    });
    run.fake.process.executable_path = run.File("vornupdate.exe");
    if (c.key == kGoodKey) WriteAll(run.File("vornupdate.pub"), kKeyHex + "\n");
    if (c.key == kBadKeyFile) WriteAll(run.File("vornupdate.pub"), "0x12\n");
    WriteAll(run.Package(), "old package");

    std::string text;
    std::string signed_text;
    for (std::string line : c.lines) {
      if (line == "@SHA") {
        line = "SHA256=" + HexEncode(testing::FakeCrypto::Digest(announced));
      }
      if (line == "@SIZE") line = "SIZE=70001";
      text += line + "\r\n";
      if (line.rfind("SIG=", 0) != 0) signed_text += line + "\n";
    }
    text += "VER=2.0\r\nURL=http://h/pkg.exe\r\n";
    signed_text += "VER=2.0\nURL=http://h/pkg.exe\n";
    run.updater.set_version_file(ReadVersionFile(text, false));
    // As a run does: the key is read (again: the key file came after the
    // first run), the checks come before the download.
    run.updater.LoadPublicKey();
    if (run.updater.CheckRelease()) run.updater.StartDownload();

    std::string expected_log;
    for (const std::string& m : c.log) {
      expected_log += kPrefix +
                      ReplaceAll(ReplaceAll(m, "{pkg}", run.Package()),
                                 "{pub}", run.File("vornupdate.pub")) +
                      "\r\n";
    }
    EXPECT_EQ(expected_log, run.Log()) << c.name;
    EXPECT_EQ(c.replaced ? file.content : "old package", ReadAll(run.Package()))
        << c.name;
    EXPECT_EQ(c.connections, run.fake.network.Connections().size()) << c.name;
    // Nothing of a refused package stays to be resumed.
    EXPECT_FALSE(Exists(run.Part())) << c.name;
    EXPECT_FALSE(Exists(run.Plan())) << c.name;
    EXPECT_EQ(c.replaced ? 1u : 0u, run.fake.desktop.boxes.size()) << c.name;
    if (c.key == kGoodKey && c.lines.size() == 3) {
      ASSERT_EQ(1u, run.fake.crypto.verified_messages.size()) << c.name;
      EXPECT_EQ(signed_text, run.fake.crypto.verified_messages[0]) << c.name;
      EXPECT_EQ(kKeyHex, HexEncode(run.fake.crypto.verified_keys[0]))
          << c.name;
    }
  }
}

// Mirrors share the work when the size and the digest are announced. One
// that cannot be reached and one that serves another size are each set
// aside with a line; the package comes whole from the others.
TEST(Transfer, FailingMirrorsAreSetAside) {
  TempDir dir;
  DownloadRun run(dir.path());
  const FakeFile file = Content(70001);
  run.Serve(file);
  run.fake.network.Serve("m2:80", testing::ServeFile(Content(70002)));
  run.fake.network.Serve("m3:80", testing::ServeFile(file));
  run.updater.set_version_file(ReadVersionFile(
      "SHA256=" + HexEncode(testing::FakeCrypto::Digest(file.content)) +
          "\r\nSIZE=70001\r\nMIRROR=http://m1/pkg.exe\r\n"
          "MIRROR=http://m2/pkg.exe\r\nMIRROR=http://m3/pkg.exe\r\n"
          "VER=2.0\r\nURL=http://h/pkg.exe\r\n",
      false));
  run.updater.LoadPublicKey();
  ASSERT_TRUE(run.updater.CheckRelease());
  run.updater.StartDownload();
  EXPECT_TRUE(file.content == ReadAll(run.Package()));
  // Two lines, in the order the connections met the failures, then the
  // success.
  const std::string log = run.Log();
  for (const char* mirror : {"http://m1/pkg.exe", "http://m2/pkg.exe"}) {
    EXPECT_NE(std::string::npos,
              log.find(std::string(msg::kSourceSetAside) +
                       msg::kDetailSeparator + mirror + msg::kDetailSeparator))
        << mirror;
  }
  EXPECT_EQ(std::string::npos, log.find("m3"));
  EXPECT_EQ(Lines({msg::kDownloadSucceeded, msg::kUpdated}),
            log.substr(log.size() -
                       Lines({msg::kDownloadSucceeded, msg::kUpdated}).size()));
  int lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(4, lines);
  int from_m3 = 0;
  for (const auto& connection : run.fake.network.Connections()) {
    from_m3 += connection.sent.find("Host: m3\r\n") != std::string::npos;
  }
  EXPECT_GT(from_m3, 0);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// A power cut after every step of the road's files (each write, creating
// open, rename and removal), in both modes: the package is always the old
// one or the new one whole, and the next run ends with the new one.
TEST(Transfer, PowerCutAfterEveryStepLeavesAWholePackage) {
  for (bool ranges : {true, false}) {
    const FakeFile file = Content(5000, ranges);
    for (int cut = 1;; ++cut) {
      SCOPED_TRACE((ranges ? "ranges, cut after step " : "whole, cut after step ") +
                   std::to_string(cut));
      TempDir dir;
      DownloadRun first(dir.path());
      WriteAll(first.Package(), "old");
      first.Serve(file);
      testing::CrashingFileSystem disk(first.fake.env.files, dir.path());
      disk.cut_after = cut;
      first.fake.env.files = &disk;
      first.updater.StartDownload();
      disk.Restore();
      const std::string kept = ReadAll(first.Package());
      EXPECT_TRUE(kept == "old" || kept == file.content) << kept.size();

      DownloadRun second(dir.path());
      second.Serve(file);
      second.updater.StartDownload();
      EXPECT_TRUE(ReadAll(second.Package()) == file.content);
      if (!disk.cut()) break;
    }
  }
}

}  // namespace
}  // namespace vorn
