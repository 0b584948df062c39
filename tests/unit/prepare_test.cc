#include <gtest/gtest.h>

#include "download/downloader.h"
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

class PrepareTest : public ::testing::Test {
 protected:
  void Serve(size_t size, bool ranges = true) {
    file_.content = testing::Pattern(size);
    file_.ranges = ranges;
    fake_.network.Serve("h:80", testing::ServeFile(file_));
  }
  std::string Save() const { return dir_.File("f.exe"); }
  std::string Info() const { return Save() + ".down"; }
  std::string Segment(int i) const { return Info() + std::to_string(i); }

  // The server time the fake answers with, as the probe reads it.
  Time64 ServerTime() {
    Time64 t;
    EXPECT_TRUE(
        Time64::FromLocalFields(&fake_.clock, 1994, 11, 6, 8, 49, 37, &t));
    return t;
  }
  ResumeRecord Record(uint32_t size, Time64 time) {
    ResumeRecord r;
    r.url = kUrl;
    r.save_path = Save();
    r.last_modified = time;
    r.file_size = size;
    MakeFreshPartition(size, r.ranges);
    return r;
  }

  TempDir dir_;
  FakeEnv fake_;
  FakeFile file_;
  Downloader d_{&fake_.env};
};

TEST_F(PrepareTest, FreshPlanWritesTheInfoFile) {
  Serve(1003);
  ASSERT_EQ(PrepareResult::kReady, d_.PrepareDownload(kUrl, Save()));
  EXPECT_EQ(1, d_.range_supported());
  EXPECT_EQ(0, d_.resume_flag());
  EXPECT_EQ(1003u, d_.server_file_size());
  const int32_t expected[4][2] = {
      {0, 249}, {250, 499}, {500, 749}, {750, 1002}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(expected[i][0], d_.record().ranges[i].start);
    EXPECT_EQ(expected[i][1], d_.record().ranges[i].end);
  }
  EXPECT_EQ(SerializeInfoFile(Record(1003, ServerTime())), ReadAll(Info()));
}

TEST_F(PrepareTest, SingleConnectionWritesNoInfoFile) {
  Serve(1003, /*ranges=*/false);
  ASSERT_EQ(PrepareResult::kReady, d_.PrepareDownload(kUrl, Save()));
  EXPECT_EQ(0, d_.range_supported());
  EXPECT_EQ(1103u, d_.server_file_size());  // the +100 of a full answer
  EXPECT_FALSE(Exists(Info()));
}

TEST_F(PrepareTest, RecordForAnotherUrlWarnsAndStops) {
  Serve(1003);
  ResumeRecord other = Record(1003, ServerTime());
  other.url = "http://h/other.exe";
  WriteAll(Info(), SerializeInfoFile(other));
  EXPECT_EQ(PrepareResult::kOtherDownload, d_.PrepareDownload(kUrl, Save()));
  EXPECT_TRUE(fake_.desktop.boxes.empty());  // the updater shows the warning
  EXPECT_EQ(SerializeInfoFile(other), ReadAll(Info()));  // left alone
}

TEST_F(PrepareTest, UrlLineWithPlainLineEndReadsAsAnotherUrl) {
  Serve(1003);
  std::string bytes = SerializeInfoFile(Record(1003, ServerTime()));
  bytes.erase(bytes.find("\r\r\n"), 1);
  WriteAll(Info(), bytes);
  EXPECT_EQ(PrepareResult::kOtherDownload, d_.PrepareDownload(kUrl, Save()));
}

TEST_F(PrepareTest, KeptRecordResumesWhereTheSegmentFilesEnd) {
  Serve(1003);
  WriteAll(Info(), SerializeInfoFile(Record(1003, ServerTime())));
  WriteAll(Segment(0), file_.content.substr(0, 250));    // complete
  WriteAll(Segment(1), file_.content.substr(250, 100));  // part
  WriteAll(Segment(3), "");                              // empty; 2 missing
  ASSERT_EQ(PrepareResult::kReady, d_.PrepareDownload(kUrl, Save()));
  EXPECT_EQ(1, d_.resume_flag());
  EXPECT_TRUE(fake_.desktop.boxes.empty());
  const int32_t starts[4] = {250, 350, 500, 750};
  ResumeRecord expected = Record(1003, ServerTime());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(starts[i], d_.record().ranges[i].start) << i;
    expected.ranges[i].start = starts[i];
  }
  EXPECT_EQ(SerializeInfoFile(expected), ReadAll(Info()));
  EXPECT_EQ(100u, ReadAll(Segment(1)).size());  // kept
}

struct ReplanCase {
  const char* name;
  int64_t time_shift;  // record time minus server time
  int32_t end_shift;   // range 3 end minus (size - 1)
  bool replanned;
};

TEST_F(PrepareTest, ReplanTests) {
  const ReplanCase cases[] = {
      {"SameTime", 0, 0, false},
      {"LaterRecordIsReplanned", 3600, 0, true},
      {"EarlierRecordIsReplanned", -1, 0, true},
      {"ServerFileOneByteLonger", 0, -1, true},
  };
  for (const ReplanCase& c : cases) {
    TempDir dir;
    FakeEnv fake;
    FakeFile file;
    file.content = testing::Pattern(1003);
    fake.network.Serve("h:80", testing::ServeFile(file));
    std::string save = dir.File("f.exe");
    ResumeRecord r =
        Record(1003, Time64(ServerTime().seconds() + c.time_shift));
    r.save_path = save;
    r.ranges[3].end += c.end_shift;
    WriteAll(save + ".down", SerializeInfoFile(r));
    WriteAll(save + ".down1", file.content.substr(250, 10));
    Downloader d(&fake.env);
    ASSERT_EQ(PrepareResult::kReady, d.PrepareDownload(kUrl, save)) << c.name;
    EXPECT_EQ(c.replanned ? 250 : 260, d.record().ranges[1].start) << c.name;
    EXPECT_EQ(c.replanned, !Exists(save + ".down1")) << c.name;
    EXPECT_EQ(c.replanned ? ServerTime() : r.last_modified,
              d.record().last_modified)
        << c.name;
  }
}

TEST_F(PrepareTest, GarbledRecordLeadsToAFreshPlan) {
  // A time whose bytes hold 0x1A ends the data there in text mode: the
  // ranges cannot be read back, so the old segment files must not be
  // continued.
  Serve(1003);
  int64_t later = ((ServerTime().seconds() >> 8) + 1) << 8 | 0x1A;
  ResumeRecord r = Record(1003, Time64(later));
  WriteAll(Info(), SerializeInfoFile(r));
  WriteAll(Segment(0), "stale bytes of an older plan");
  ASSERT_EQ(PrepareResult::kReady, d_.PrepareDownload(kUrl, Save()));
  EXPECT_FALSE(Exists(Segment(0)));
  EXPECT_EQ(0, d_.record().ranges[0].start);
  EXPECT_EQ(1002, d_.record().ranges[3].end);
}

TEST_F(PrepareTest, SegmentFileLongerThanItsRangeIsNotTrusted) {
  Serve(1003);
  WriteAll(Info(), SerializeInfoFile(Record(1003, ServerTime())));
  WriteAll(Segment(2), std::string(251, 'x'));
  ASSERT_EQ(PrepareResult::kReady, d_.PrepareDownload(kUrl, Save()));
  EXPECT_FALSE(Exists(Segment(2)));
  EXPECT_EQ(500, d_.record().ranges[2].start);
}

TEST_F(PrepareTest, UrlWithoutSchemeAndSavePathWithBlanks) {
  Serve(1003);
  ASSERT_EQ(PrepareResult::kReady,
            d_.PrepareDownload("h/f.exe", "  " + Save() + " \t"));
  EXPECT_EQ(Save(), d_.save_path());
  EXPECT_EQ(Info(), d_.info_file_path());
  EXPECT_EQ(kUrl, d_.record().url);  // the prefixed form is what is kept
}

TEST_F(PrepareTest, RefusedInputs) {
  Serve(1003);
  EXPECT_EQ(PrepareResult::kBadUrl, d_.PrepareDownload("", Save()));
  EXPECT_EQ(PrepareResult::kBadSavePath, d_.PrepareDownload(kUrl, " \t "));
  EXPECT_TRUE(fake_.network.Connections().empty());
  // https is refused, and the retry with "http://" in front names a host
  // "https" that nothing serves.
  EXPECT_EQ(PrepareResult::kProbeFailed,
            d_.PrepareDownload("https://h/f.exe", Save()));
}

TEST_F(PrepareTest, FailedProbeWithoutRecord) {
  // Nothing serves h2:80: the probe fails and nothing is written.
  EXPECT_EQ(PrepareResult::kProbeFailed,
            d_.PrepareDownload("http://h2/f.exe", Save()));
  EXPECT_EQ(0, d_.resume_flag());
  EXPECT_FALSE(Exists(Info()));
}

}  // namespace
}  // namespace vorn
