#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/unit/fake_env.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {
namespace {

using testing::FakeEnv;
using testing::ReadAll;
using testing::TempDir;

// Starts a run that stops after setting the log path (a version file that
// announces the current version), so WriteLog has a path.
class UpdateLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UpdateParameters p{"http://h/v.txt", "1.0", dir_.path(),
                       "pkg.exe",        false, "T"};
    updater_.SetParameters(p);
    platform::FetchResult ok;
    ok.status = platform::FetchStatus::kOk;
    ok.body = "VER=1.0\nURL=http://h/p.exe\n";
    fake_.internet.answers.push_back(ok);
    ASSERT_EQ(kRunOk, updater_.RunUpdate());
    log_ = dir_.File("updatelog.txt");
  }
  TempDir dir_;
  FakeEnv fake_;
  Updater updater_{&fake_.env};
  std::string log_;
};

struct PrefixCase {
  int month, day, hour, minute;
  const char* prefix;
};

TEST_F(UpdateLogTest, PrefixIsBlankPaddedThirteenBytes) {
  const PrefixCase cases[] = {
      {1, 1, 9, 7, " 1- 1  9: 7  "},
      {12, 6, 21, 54, "12- 6 21:54  "},
      {10, 31, 0, 0, "10-31  0: 0  "},
      {2, 29, 23, 59, " 2-29 23:59  "},
  };
  for (const PrefixCase& c : cases) {
    testing::WriteAll(log_, "");
    fake_.clock.local = {2026, c.month, c.day, c.hour, c.minute, 42};
    updater_.WriteLog("x");
    EXPECT_EQ(std::string(c.prefix) + "x\r\n", ReadAll(log_)) << c.prefix;
  }
}

TEST_F(UpdateLogTest, LineShapes) {
  fake_.clock.local = {2026, 12, 6, 21, 54, 0};
  struct {
    const char* message;
    std::string expected;
  } cases[] = {
      // No blank line ever: an empty message is dropped, line ends at its
      // end go, and inside it a run of them becomes one blank.
      {"", ""},
      {"\r\n", ""},
      {"ends\r\n", "12- 6 21:54  ends\r\n"},
      {"ends\n\r\r", "12- 6 21:54  ends\r\n"},
      {"two\r\n\r\nlines", "12- 6 21:54  two lines\r\n"},
      {msg::kBadVersionFile,  // its trailing blank stays
       std::string("12- 6 21:54  ") + msg::kBadVersionFile + "\r\n"},
      {msg::kUpToDate, std::string("12- 6 21:54  ") + msg::kUpToDate + "\r\n"},
  };
  for (const auto& c : cases) {
    testing::WriteAll(log_, "");
    updater_.WriteLog(c.message);
    EXPECT_EQ(c.expected, ReadAll(log_)) << c.message;
  }
}

TEST_F(UpdateLogTest, FirstRunWroteExactlyTheUpToDateLine) {
  EXPECT_EQ(std::string("12- 6 21:54  ") + msg::kUpToDate + "\r\n",
            ReadAll(log_));
}

TEST_F(UpdateLogTest, AppendsToExistingLog) {
  testing::WriteAll(log_, "earlier run\r\n");
  updater_.WriteLog("a");
  updater_.WriteLog("b");
  EXPECT_EQ("earlier run\r\n12- 6 21:54  a\r\n12- 6 21:54  b\r\n",
            ReadAll(log_));
}

// A line the log cannot take reaches a person through the fallback, with
// the line that says which log failed and why; the log then goes on.
TEST_F(UpdateLogTest, LineTheLogCannotTakeGoesToTheFallback) {
  const std::string why = std::string(msg::kLogWriteFailed) +
                          msg::kDetailSeparator + log_ + msg::kDetailSeparator;
  struct {
    const char* name;
    bool held;       // another process holds the log
    bool disk_full;  // every write fails as on a full disk
    const char* reason;
  } cases[] = {
      {"held", true, false, msg::kReasonInUse},
      {"full", false, true, msg::kReasonDiskFull},
  };
  for (const auto& c : cases) {
    testing::WriteAll(log_, "");
    fake_.desktop.lost_lines.clear();
    std::unique_ptr<platform::File> holder;
    if (c.held) {
      ASSERT_TRUE(platform::Env::Default()
                      .files->Open(log_, platform::OpenMode::kReadWriteExclusive,
                                   &holder)
                      .ok());
    }
    fake_.files.fail_writes = c.disk_full;
    updater_.WriteLog("lost");  // returns at once, does not wait
    fake_.files.fail_writes = false;
    holder.reset();
    ASSERT_EQ(2u, fake_.desktop.lost_lines.size()) << c.name;
    EXPECT_EQ("12- 6 21:54  lost", fake_.desktop.lost_lines[0]) << c.name;
    EXPECT_EQ("12- 6 21:54  " + why + c.reason, fake_.desktop.lost_lines[1])
        << c.name;
    updater_.WriteLog("kept");
    EXPECT_EQ("12- 6 21:54  kept\r\n", ReadAll(log_)) << c.name;
  }
}

TEST(UpdateLogNoPath, NothingWrittenBeforeThePathIsSet) {
  TempDir dir;
  FakeEnv fake;
  Updater updater(&fake.env);
  updater.WriteLog("lost");
  EXPECT_TRUE(updater.log_path().empty());
  EXPECT_FALSE(testing::Exists(dir.File("updatelog.txt")));
  // Without a log it still reaches a person.
  ASSERT_EQ(1u, fake.desktop.lost_lines.size());
  EXPECT_NE(std::string::npos, fake.desktop.lost_lines[0].find("lost"));
}

}  // namespace
}  // namespace vorn
