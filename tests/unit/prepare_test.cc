#include <gtest/gtest.h>

#include "download/downloader.h"
#include "platform/text.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/fake_http.h"

namespace vorn {
namespace {

using testing::Exists;
using testing::FakeEnv;
using testing::FakeFile;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

constexpr char kUrl[] = "http://h/f.exe";

// A Last-Modified the fake server sends, and the time it stands for.
struct ServerDate {
  const char* text;  // empty: a value that gives no date
  int year, month, day, hour, minute, second;
  Time64 Time() const {
    Time64 t;
    if (*text != '\0') {
      EXPECT_TRUE(
          Time64::FromUtcFields(year, month, day, hour, minute, second, &t));
    }
    return t;
  }
};
const ServerDate k1994{"Sun, 06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37};
// Its seconds are 0x2E1A0A0D: the record's time bytes hold CR LF and 0x1A,
// which a text-mode reading would turn into a shorter record.
const ServerDate kTextModeBytes{
    "Wed, 06 Jul 1994 01:34:05 GMT", 1994, 7, 6, 1, 34, 5};
const ServerDate kUndated{"", 0, 0, 0, 0, 0, 0};

ResumeRecord Record(const std::string& save, int64_t size, Time64 time) {
  ResumeRecord r;
  r.url = kUrl;
  r.save_path = save;
  r.last_modified = time;
  r.file_size = size;
  MakeFreshPartition(size, r.ranges);
  return r;
}

// The plan of a fresh download with the quarters of the file, then free
// slots.
ResumeRecord Planned(const std::string& save, int64_t size, Time64 time) {
  ResumeRecord r = Record(save, size, time);
  r.ranges.resize(kPlanSlots, SegmentRange{0, -1});
  return r;
}

// One run's world: a fake server of a 1003-byte file at h:80, a fresh
// directory and a downloader.
struct World {
  explicit World(bool ranges = true, const ServerDate& date = k1994) {
    file.content = testing::Pattern(1003);
    file.ranges = ranges;
    file.last_modified = date.text;
    fake.network.Serve("h:80", testing::ServeFile(file));
    // Every package is fetched in quarters, however small.
    d.SetSharing(kSplitFloorBytes, 0);
  }
  std::string Save() const { return dir.File("f.exe"); }
  std::string Info() const { return Save() + ".plan"; }
  std::string Part() const { return Save() + ".part"; }
  // What an older client leaves: its record and segment files.
  std::string OldInfo() const { return Save() + ".down"; }
  std::string OldSegment(int i) const { return OldInfo() + std::to_string(i); }
  // A part file of the right size with `bytes` of the file at `offset`.
  void WritePart(int64_t offset, int64_t bytes) const {
    std::string part(file.content.size(), '\0');
    part.replace(offset, bytes, file.content.substr(offset, bytes));
    WriteAll(Part(), part);
  }

  // Prepares the download; what it found stays in `p`.
  Outcome Prepare(const std::string& url, const std::string& save) {
    p = d.PrepareDownload(url, save);
    return p.result.outcome;
  }

  TempDir dir;
  FakeEnv fake;
  FakeFile file;
  Downloader d{&fake.env};
  Prepared p;
};

TEST(PrepareTest, FreshPlans) {
  struct {
    const char* name;
    bool ranges;
    const ServerDate& date;
    bool small = false;  // below the size that pays for more connections
  } cases[] = {
      {"Quarters", true, k1994},
      // No clock reading (the fake clock says 1800000000) stands in for
      // the date: the record holds a zero time.
      {"QuartersUndated", true, kUndated},
      // The probe's answer and the first 100 bytes.
      {"SmallPackage", true, k1994, true},
      {"OneConnectionWritesNoInfoFile", false, k1994},
  };
  for (const auto& c : cases) {
    World w(c.ranges, c.date);
    if (c.small) w.d.SetSharing(kSplitFloorBytes, 1003);
    ASSERT_EQ(Outcome::kOk, w.Prepare(kUrl, w.Save())) << c.name;
    const DownloadPlan& plan = w.p.plan;
    EXPECT_EQ(1003, plan.size) << c.name;  // the true size in both modes
    EXPECT_EQ(c.ranges, plan.ranged) << c.name;
    EXPECT_FALSE(plan.resumed) << c.name;
    EXPECT_FALSE(plan.dropped_other) << c.name;
    if (!c.ranges) {
      EXPECT_FALSE(Exists(w.Info())) << c.name;
      continue;
    }
    ResumeRecord expected = Planned(w.Save(), 1003, c.date.Time());
    if (c.small) {
      expected.ranges = {{0, 99}, {100, 1002}};
      expected.ranges.resize(kPlanSlots, SegmentRange{0, -1});
    }
    // A small package's other connections stand by to split its range;
    // a larger one's probe was closed after its head.
    EXPECT_EQ(4, plan.connections) << c.name;
    EXPECT_EQ(c.small ? 1 : -1, w.p.answer_range) << c.name;
    EXPECT_EQ(SerializeInfoFile(expected), ReadAll(w.Info())) << c.name;
  }
}

// A record for another URL is a plan an older release left: it goes with
// its bytes, and the new URL is planned.
TEST(PrepareTest, RecordForAnotherUrlIsDroppedWithItsSegmentFiles) {
  struct {
    const char* name;
    bool ranges;
    bool plain_line_end;  // the URL line ends CR LF: it reads one byte short
  } cases[] = {
      {"AnotherUrl", true, false},
      {"UrlLineWithPlainLineEnd", true, true},
      {"AnotherUrlOneConnection", false, false},
  };
  for (const auto& c : cases) {
    World w(c.ranges);
    ResumeRecord other = Record(w.Save(), 1003, k1994.Time());
    if (!c.plain_line_end) other.url = "http://h/other.exe";
    // Lines that are not CR CR LF are another writer's: the 32-bit layout.
    std::string bytes = SerializeInfoFile(
        other, c.plain_line_end ? PlanLayout::k32 : PlanLayout::k64);
    if (c.plain_line_end) bytes.erase(bytes.find("\r\r\n"), 1);
    WriteAll(w.Info(), bytes);
    WriteAll(w.Part(), "the other file");
    ASSERT_EQ(Outcome::kOk, w.Prepare(kUrl, w.Save())) << c.name;
    EXPECT_TRUE(w.p.plan.dropped_other) << c.name;
    EXPECT_FALSE(w.p.plan.resumed) << c.name;
    EXPECT_TRUE(w.fake.desktop.boxes.empty()) << c.name;
    EXPECT_FALSE(Exists(w.Part())) << c.name;
    if (c.ranges) {
      EXPECT_EQ(SerializeInfoFile(Planned(w.Save(), 1003, k1994.Time())),
                ReadAll(w.Info()))
          << c.name;
    } else {
      EXPECT_FALSE(Exists(w.Info())) << c.name;
    }
  }
}

// An older client's record and segment files are taken into the part file
// at their offsets once, and go; the plan resumes where their files end.
TEST(PrepareTest, OlderClientsSegmentFilesAreTakenOver) {
  World w;
  const std::string& content = w.file.content;
  WriteAll(w.OldInfo(), SerializeInfoFile(Record(w.Save(), 1003, k1994.Time()),
                                          PlanLayout::k32));
  WriteAll(w.OldSegment(0), content.substr(0, 250));    // complete
  WriteAll(w.OldSegment(1), content.substr(250, 100));  // part
  WriteAll(w.OldSegment(2), std::string(251, 'x'));     // longer than its range
  WriteAll(w.OldSegment(3), "");                        // empty
  ASSERT_EQ(Outcome::kOk, w.Prepare(kUrl, w.Save()));
  EXPECT_TRUE(w.p.plan.resumed);
  EXPECT_TRUE(w.p.plan.took_over);
  // What is still needed: segment 0 is complete, and a segment file longer
  // than its range is not taken.
  ResumeRecord expected = Record(w.Save(), 1003, k1994.Time());
  expected.ranges = {{350, 499}, {500, 749}, {750, 1002}};
  expected.ranges.resize(kPlanSlots, SegmentRange{0, -1});
  EXPECT_EQ(SerializeInfoFile(expected), ReadAll(w.Info()));
  const std::string part = ReadAll(w.Part());
  ASSERT_EQ(1003u, part.size());
  EXPECT_EQ(content.substr(0, 350), part.substr(0, 350));
  EXPECT_FALSE(Exists(w.OldInfo()));
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(Exists(w.OldSegment(i))) << i;
}

struct ReplanCase {
  const char* name;
  const ServerDate& date;  // what the server sends
  int64_t time_shift;      // record time minus the server's time
  int32_t end_shift;       // range 3 end minus (size - 1)
  int tail;     // bytes after the fields: 1 one too many, -1 one short
  bool digest;  // a SHA-256 was announced
  bool replanned;
  int64_t part_bytes = 1003;  // the part file's size; -1: none
  // The server's ETag and the one the plan was made for.
  const char* server_etag = "";
  const char* kept_etag = "";
  // The plan was made for another announced SHA-256.
  bool other_digest = false;
  // The plan is in the previous release's 32-bit layout.
  PlanLayout layout = PlanLayout::k64;
  // The size was announced too: the digest alone decides.
  bool pinned = false;
};

TEST(PrepareTest, ReplanTests) {
  const ReplanCase cases[] = {
      {"SameTime", k1994, 0, 0, 0, false, false},
      {"LaterRecordIsReplanned", k1994, 3600, 0, 0, false, true},
      {"EarlierRecordIsReplanned", k1994, -1, 0, 0, false, true},
      {"ServerFileOneByteLonger", k1994, 0, -1, 0, false, true},
      {"TimeWithTextModeBytesResumes", kTextModeBytes, 0, 0, 0, false, false},
      // A record not exactly as this client writes it is not trusted.
      {"TrailingByteAfterTheFields", k1994, 0, 0, 1, false, true},
      {"FieldsCutShort", k1994, 0, 0, -1, false, true},
      // Without a date only the announced digest tells the files apart.
      {"UndatedWithDigestResumes", kUndated, 0, 0, 0, true, false},
      {"UndatedWithoutDigestStartsOver", kUndated, 0, 0, 0, false, true},
      // An older release stored the clock time for an undated file.
      {"UndatedRecordWithAClockTime", kUndated, 1800000000, 0, 0, true, true},
      // Without its part file (or with one of another size) no byte the
      // plan counts is there.
      {"PartFileMissing", k1994, 0, 0, 0, false, true, -1},
      {"PartFileOfAnotherSize", k1994, 0, 0, 0, false, true, 1002},
      // Republished with the size and date kept: the ETag or the announced
      // digest says it is another file.
      {"SameETagResumes", k1994, 0, 0, 0, true, false, 1003, "\"a\"", "\"a\""},
      {"AnotherETagStartsOver", k1994, 0, 0, 0, false, true, 1003, "\"b\"",
       "\"a\""},
      {"AnotherDigestStartsOver", k1994, 0, 0, 0, true, true, 1003, "", "",
       true},
      // Mirrors behind one name, each with its own date and ETag: with the
      // digest and size announced the plan for that digest resumes.
      {"PinnedResumesAcrossDatesAndETags", k1994, 3600, 0, 0, true, false, 1003,
       "\"b\"", "\"a\"", false, PlanLayout::k64, true},
      {"PinnedAnotherDigestStartsOver", k1994, 0, 0, 0, true, true, 1003, "",
       "", true, PlanLayout::k64, true},
      // The previous release's plan resumes, and is rewritten in this
      // client's layout.
      {"PreviousReleasePlanResumes", k1994, 0, 0, 0, true, false, 1003, "\"a\"",
       "\"a\"", false, PlanLayout::k32},
      {"PreviousReleaseFieldsCutShort", k1994, 0, 0, -1, false, true, 1003, "",
       "", false, PlanLayout::k32},
  };
  for (const ReplanCase& c : cases) {
    World w(true, c.date);
    w.file.etag = c.server_etag;
    w.fake.network.Serve("h:80", testing::ServeFile(w.file));
    ResumeRecord r =
        Record(w.Save(), 1003, Time64(c.date.Time().seconds() + c.time_shift));
    r.etag = c.kept_etag;
    if (c.digest) {
      r.sha256 = HexEncode(testing::FakeCrypto::Digest(
          c.other_digest ? std::string("another release") : w.file.content));
    }
    r.ranges[3].end += c.end_shift;
    r.ranges[1].start = 260;
    std::string bytes = SerializeInfoFile(r, c.layout);
    if (c.tail > 0) bytes += 'x';
    if (c.tail < 0) bytes.pop_back();
    WriteAll(w.Info(), bytes);
    if (c.part_bytes == 1003) {
      w.WritePart(250, 10);
    } else if (c.part_bytes >= 0) {
      WriteAll(w.Part(), std::string(c.part_bytes, 'x'));
    }
    if (c.digest) {
      w.d.SetExpectedPackage(c.pinned ? 1003 : -1,
                             testing::FakeCrypto::Digest(w.file.content));
    }
    ASSERT_EQ(Outcome::kOk, w.Prepare(kUrl, w.Save())) << c.name;
    const DownloadPlan& plan = w.p.plan;
    EXPECT_EQ(c.replanned, !plan.resumed) << c.name;
    // Resumed, only what the kept file lacks is needed.
    EXPECT_EQ(c.replanned ? 250 : 260, plan.record.ranges[1].start) << c.name;
    EXPECT_EQ(c.replanned, !Exists(w.Part())) << c.name;
    EXPECT_EQ(c.replanned ? c.date.Time() : r.last_modified,
              plan.record.last_modified)
        << c.name;
    EXPECT_EQ(SerializeInfoFile(plan.record), ReadAll(w.Info())) << c.name;
  }
}

// A kill between the two writes of a split leaves the range split off and
// the range it came from (its end not yet cut) both needing those bytes:
// the next run needs them once, and nothing on disk again.
TEST(PrepareTest, KillBetweenTheWritesOfASplit) {
  World w;
  ResumeRecord r = Planned(w.Save(), 1003, k1994.Time());
  r.ranges[0].start = 250;   // the first quarter is there
  r.ranges[1].start = 260;   // the second from 260 ...
  r.ranges[4] = {400, 499};  // ... its last 100 bytes split off
  WriteAll(w.Info(), SerializeInfoFile(r));
  w.WritePart(0, 260);
  ASSERT_EQ(Outcome::kOk, w.Prepare(kUrl, w.Save()));
  EXPECT_TRUE(w.p.plan.resumed);
  std::vector<std::pair<int64_t, int64_t>> needed;
  for (const SegmentRange& range : w.p.plan.record.ranges) {
    if (range.start <= range.end) needed.push_back({range.start, range.end});
  }
  EXPECT_EQ((std::vector<std::pair<int64_t, int64_t>>{
                {260, 499}, {500, 749}, {750, 1002}}),
            needed);
  // However little is left, the connections without a range stand by to
  // split one that comes slowly.
  World small;
  small.d.SetSharing(kSplitFloorBytes, kOneConnectionBytes);
  WriteAll(small.Info(), SerializeInfoFile(r));
  small.WritePart(0, 260);
  ASSERT_EQ(Outcome::kOk, small.Prepare(kUrl, small.Save()));
  EXPECT_EQ(4, small.p.plan.connections);
}

// Four-part mode does not start without its plan on disk; one connection
// writes none.
TEST(PrepareTest, PlanThatCannotBeWritten) {
  struct {
    const char* name;
    bool ranges;
    bool fail_renames;  // else writes fail
    Outcome outcome;
  } cases[] = {
      {"WriteFails", true, false, Outcome::kPlanNotWritten},
      {"RenameFails", true, true, Outcome::kPlanNotWritten},
      {"OneConnectionNeedsNoPlan", false, false, Outcome::kOk},
  };
  for (const auto& c : cases) {
    World w(c.ranges);
    w.fake.files.fail_writes = !c.fail_renames;
    w.fake.files.fail_renames = c.fail_renames;
    EXPECT_EQ(c.outcome, w.Prepare(kUrl, w.Save())) << c.name;
    if (c.outcome != Outcome::kOk) {
      EXPECT_NE(std::string::npos, w.p.result.error.ToString().find(w.Info()))
          << c.name << ": " << w.p.result.error.ToString();
    }
    EXPECT_FALSE(Exists(w.Info())) << c.name;
    EXPECT_FALSE(Exists(w.Info() + ".new")) << c.name;
  }
}

// A disk without room for what the part file lacks fails before anything
// is fetched, as a full disk names the part file; a resumed part file needs
// room only for its missing bytes.
TEST(PrepareTest, RoomForThePartFile) {
  struct {
    const char* name;
    bool resumed;  // a plan with 10 of the 1003 bytes on disk
    int64_t free_space;
    Outcome outcome;
  } cases[] = {
      {"FreshFits", false, 1003, Outcome::kOk},
      {"FreshTooLarge", false, 1002, Outcome::kWriteFailed},
      {"ResumedNeedsOnlyWhatIsMissing", true, 993, Outcome::kOk},
      {"ResumedTooLarge", true, 992, Outcome::kWriteFailed},
      {"SystemCannotTell", false, -1, Outcome::kOk},
  };
  for (const auto& c : cases) {
    World w;
    std::string kept;
    if (c.resumed) {
      ResumeRecord r = Record(w.Save(), 1003, k1994.Time());
      r.ranges[1].start = 260;
      kept = SerializeInfoFile(r);
      WriteAll(w.Info(), kept);
      w.WritePart(250, 10);
    }
    w.fake.files.free_space = c.free_space;
    ASSERT_EQ(c.outcome, w.Prepare(kUrl, w.Save())) << c.name;
    EXPECT_EQ(c.resumed, w.p.plan.resumed) << c.name;
    if (c.outcome == Outcome::kOk) continue;
    EXPECT_EQ(platform::ErrorKind::kDiskFull, w.p.result.error.kind())
        << c.name;
    EXPECT_EQ(w.Part(), w.p.result.error.object()) << c.name;
    // What an earlier run kept stays for a run with room.
    EXPECT_EQ(kept, c.resumed ? ReadAll(w.Info()) : "") << c.name;
  }
}

TEST(PrepareTest, UrlWithoutSchemeAndSavePathWithBlanks) {
  World w;
  ASSERT_EQ(Outcome::kOk,
            w.Prepare("h/f.exe", "  " + w.Save() + " \t"));
  EXPECT_EQ(w.Save(), w.p.plan.save_path);
  EXPECT_EQ(w.Info(), w.p.plan.plan_path);
  // The prefixed form is what is kept, as older releases kept it.
  EXPECT_EQ(kUrl, w.p.plan.record.url);
}

TEST(PrepareTest, RefusedInputs) {
  World w;
  struct {
    const char* url;
    std::string save;
    Outcome outcome;
  } cases[] = {
      {"", w.Save(), Outcome::kBadUrl},
      {"http://h/f exe", w.Save(), Outcome::kBadUrl},
      {"http://h:65536/f.exe", w.Save(), Outcome::kBadPort},
      {kUrl, " \t ", Outcome::kBadSavePath},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.outcome, w.Prepare(c.url, c.save)) << c.url;
  }
  EXPECT_TRUE(w.fake.network.Connections().empty());
}

TEST(PrepareTest, FailedProbeWithoutRecord) {
  // Nothing serves h2:80: the probe fails and nothing is written.
  World w;
  EXPECT_EQ(Outcome::kConnectFailed,
            w.Prepare("http://h2/f.exe", w.Save()));
  EXPECT_EQ("h2:80", w.p.result.error.object()) << "the server is named";
  EXPECT_FALSE(w.p.plan.resumed);
  EXPECT_FALSE(Exists(w.Info()));
}

}  // namespace
}  // namespace vorn
