#include <gtest/gtest.h>

#include <cstdlib>

#include "shell/messages.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/fake_http.h"
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

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    updater_.SetParameters({"http://h/v.txt", "1.0", dir_.path(), "pkg.exe", false, "T"});
  }
  std::string Package() { return dir_.File("pkg.exe"); }
  std::string Log() { return ReadAll(dir_.File("updatelog.txt")); }
  // WriteLog needs the log path that a run sets.
  void SetLogPath() {
    fake_.internet.answers.push_back({});
    updater_.RunUpdate();  // no answer: malformed text, but the path is set
    WriteAll(dir_.File("updatelog.txt"), "");
    updater_.set_version_text("VER=2.0\r\nURL=http://h/pkg.exe\r\n");
  }
  std::string Lines(std::initializer_list<const char*> messages) {
    std::string out;
    for (const char* m : messages) out += std::string(kPrefix) + m + "\r\n";
    return out;
  }

  TempDir dir_;
  FakeEnv fake_;
  Updater updater_{&fake_.env};
};

TEST_F(TransferTest, WholeRoadInBothModes) {
  struct {
    size_t size;
    bool ranges;
    size_t piece;
  } cases[] = {{101, true, 0}, {1003, true, 7}, {70001, true, 1500},
               {0, false, 0}, {1003, false, 0}, {70001, false, 999}};
  for (const auto& c : cases) {
    TempDir dir;
    FakeEnv fake;
    Updater updater(&fake.env);
    updater.SetParameters({"http://h/v.txt", "1.0", dir.path(), "pkg.exe", false, "T"});
    fake.internet.answers.push_back({});
    updater.RunUpdate();
    FakeFile file;
    file.content = testing::Pattern(c.size, static_cast<unsigned>(c.size));
    file.ranges = c.ranges;
    file.piece = c.piece;
    fake.network.Serve("h:80", testing::ServeFile(file));
    updater.set_version_text("VER=2.0\r\nURL=http://h/pkg.exe\r\n");
    updater.StartDownload();
    std::string what = std::to_string(c.size) + (c.ranges ? " ranged" : " single");
    EXPECT_TRUE(file.content == ReadAll(dir.File("pkg.exe"))) << what;
    EXPECT_EQ(c.ranges ? 5u : 2u, fake.network.Connections().size()) << what;
    for (int i = 0; i < 4; ++i) {
      EXPECT_FALSE(Exists(dir.File("pkg.exe.down") + std::to_string(i))) << what;
    }
    EXPECT_FALSE(Exists(dir.File("pkg.exe.down"))) << what;
    EXPECT_FALSE(Exists(dir.File("pkg.exe.down.tmp"))) << what;
    std::string log = ReadAll(dir.File("updatelog.txt"));
    EXPECT_NE(std::string::npos,
              log.find(std::string(kPrefix) + msg::kDownloadSucceeded + "\r\n" + kPrefix +
                       msg::kUpdated + "\r\n"))
        << what;
    EXPECT_EQ(1u, fake.desktop.boxes.size());
  }
}

TEST_F(TransferTest, SingleConnectionLeavesAnExistingInfoFile) {
  SetLogPath();
  FakeFile file;
  file.content = testing::Pattern(1003);
  file.ranges = false;
  fake_.network.Serve("h:80", testing::ServeFile(file));
  ResumeRecord r;
  r.url = "http://h/pkg.exe";
  r.last_modified = Time64(int64_t{1} << 40);
  MakeFreshPartition(1103, r.ranges);
  WriteAll(Package() + ".down", SerializeInfoFile(r));
  updater_.StartDownload();
  EXPECT_TRUE(file.content == ReadAll(Package()));
  EXPECT_TRUE(Exists(Package() + ".down"));
}

// A server that answers the range starting at `bad_start` with the whole
// file (status 200), and every other request properly.
testing::FakeNetwork::Responder FaultyOnce(const FakeFile& file, int bad_start, bool* fault) {
  auto good = testing::ServeFile(file);
  return [good, file, bad_start, fault](const std::string& request) {
    std::string wanted = "Range: bytes=" + std::to_string(bad_start) + "-";
    if (*fault && request.find(wanted) != std::string::npos) {
      testing::SocketScript s;
      s.chunks = {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(file.content.size()) +
                  "\r\n\r\n" + file.content};
      return s;
    }
    return good(request);
  };
}

TEST_F(TransferTest, FailedSegmentKeepsThePackageAndResumesNextRun) {
  SetLogPath();
  WriteAll(Package(), "the installed package");
  FakeFile file;
  file.content = testing::Pattern(1003);
  bool fault = true;
  fake_.network.Serve("h:80", FaultyOnce(file, 250, &fault));
  updater_.StartDownload();

  EXPECT_EQ("the installed package", ReadAll(Package()));
  EXPECT_EQ(Lines({msg::kDownloadFailed}), Log());
  EXPECT_TRUE(fake_.desktop.boxes.empty());
  EXPECT_TRUE(fake_.windows.commands.empty());
  EXPECT_FALSE(Exists(Package() + ".down1"));
  EXPECT_EQ(file.content.substr(0, 250), ReadAll(Package() + ".down0"));
  // The info file now starts every range at the first byte it lacks.
  ResumeRecord r;
  ParseInfoFile(ReadAll(Package() + ".down"), &r);
  const int32_t starts[4] = {250, 250, 750, 1003};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(starts[i], r.ranges[i].start) << i;

  // The next run fetches only the missing segment.
  fault = false;
  FakeEnv fake2;
  fake2.network.Serve("h:80", testing::ServeFile(file));
  Updater again(&fake2.env);
  again.SetParameters({"http://h/v.txt", "1.0", dir_.path(), "pkg.exe", false, "T"});
  again.set_version_text("VER=2.0\r\nURL=http://h/pkg.exe\r\n");
  again.StartDownload();
  EXPECT_TRUE(file.content == ReadAll(Package()));
  ASSERT_EQ(2u, fake2.network.Connections().size());  // probe + segment 1
  EXPECT_NE(std::string::npos,
            fake2.network.Connections()[1].sent.find("Range: bytes=250-499\r\n"));
}

TEST_F(TransferTest, MergeFailuresLoseNothing) {
  for (int failure = 0; failure < 2; ++failure) {
    TempDir dir;
    FakeEnv fake;
    Updater updater(&fake.env);
    updater.SetParameters({"http://h/v.txt", "1.0", dir.path(), "pkg.exe", false, "T"});
    fake.internet.answers.push_back({});
    updater.RunUpdate();
    WriteAll(dir.File("pkg.exe"), "old");
    FakeFile file;
    file.content = testing::Pattern(5000);
    fake.network.Serve("h:80", testing::ServeFile(file));
    updater.set_version_text("VER=2.0\r\nURL=http://h/pkg.exe\r\n");
    ASSERT_TRUE(updater.downloader().PrepareDownload("http://h/pkg.exe", dir.File("pkg.exe")));
    // The workers write their segments; then the merge's rename (0) or its
    // writes to the temporary file (1) fail.
    fake.files.fail_renames = failure == 0;
    fake.files.fail_writes = failure == 1;
    fake.files.fail_writes_matching = ".down.tmp";
    updater.StartTransfer();
    EXPECT_EQ("old", ReadAll(dir.File("pkg.exe"))) << failure;
    EXPECT_FALSE(Exists(dir.File("pkg.exe.down.tmp"))) << failure;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(1250u, ReadAll(dir.File("pkg.exe.down") + std::to_string(i)).size()) << failure;
    }
    EXPECT_NE(std::string::npos,
              ReadAll(dir.File("updatelog.txt")).find(msg::kDownloadFailed)) << failure;
    EXPECT_TRUE(fake.desktop.boxes.empty());
  }
}

TEST_F(TransferTest, StopFlagOfSegmentZeroSkipsTheMerge) {
  updater_.downloader().stop_flags()[0] = 1;
  EXPECT_EQ(-1, updater_.WaitAndMerge());
  EXPECT_FALSE(Exists(Package()));
}

}  // namespace
}  // namespace vorn
