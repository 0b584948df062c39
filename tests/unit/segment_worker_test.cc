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
  std::string full = head + std::string(1025 - head.size() - 4, 'a') + "\r\n\r\n";
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
    EXPECT_EQ(c.expected, Downloader::GetHeaderLength(b.data())) << c.name;
  }
  std::string b = Buffer("a\rb\nrest");
  int position = 0;
  EXPECT_EQ("ab", Downloader::ReadHeaderLine(b.data(), &position));
  EXPECT_EQ(4, position);
}

class SegmentWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = testing::Pattern(1003);
    ASSERT_TRUE(d_.ParseUrl("http://h/f.exe"));
    d_.SetPathsForTesting(dir_.File("f.exe"));
    d_.SetRangeSupportedForTesting(1);
    d_.SetServerFileSizeForTesting(1003);
    MakeFreshPartition(1003, d_.mutable_record()->ranges);
  }
  std::string Segment(int i) { return d_.SegmentFilePath(i); }
  static std::string Ranged(int first, int last, const std::string& body) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
           std::to_string(first) + "-" + std::to_string(last) +
           "/1003\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  void Script(std::vector<std::string> chunks, int after = 0) {
    SocketScript s;
    s.chunks = std::move(chunks);
    s.after_chunks = after;
    fake_.network.Script("h:80", s);
  }

  TempDir dir_;
  FakeEnv fake_;
  Downloader d_{&fake_.env};
  std::string content_;
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
       {answer.substr(0, 3), answer.substr(3, 10), answer.substr(13, 40), answer.substr(53)}},
      {"KeepAliveWithExtraBytes", {answer + "HTTP/1.1 206 next answer..."}},
  };
  for (const auto& c : cases) {
    FakeEnv fake;
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://h/f.exe"));
    d.SetPathsForTesting(dir_.File(c.name));
    d.SetRangeSupportedForTesting(1);
    MakeFreshPartition(1003, d.mutable_record()->ranges);
    SocketScript s;
    s.chunks = c.chunks;
    fake.network.Script("h:80", s);
    d.DownloadSegment(1);
    EXPECT_EQ(body, ReadAll(d.SegmentFilePath(1))) << c.name;
    ASSERT_EQ(1u, fake.network.Connections().size());
    EXPECT_NE(std::string::npos,
              fake.network.Connections()[0].sent.find("Range: bytes=250-499\r\n"));
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
    FakeEnv fake;
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://h/f.exe"));
    d.SetPathsForTesting(dir_.File(c.name));
    d.SetRangeSupportedForTesting(1);
    MakeFreshPartition(1003, d.mutable_record()->ranges);
    SocketScript s;
    s.chunks = {c.answer};
    fake.network.Script("h:80", s);
    d.DownloadSegment(1);
    EXPECT_FALSE(Exists(d.SegmentFilePath(1))) << c.name;
  }
}

TEST_F(SegmentWorkerTest, BrokenTransfersKeepWhatArrived) {
  std::string answer = Ranged(500, 749, content_.substr(500, 250));
  std::string half = answer.substr(0, answer.size() - 125);
  for (int after : {0, platform::kSocketError}) {
    FakeEnv fake;
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://h/f.exe"));
    d.SetPathsForTesting(dir_.File("broken" + std::to_string(after)));
    d.SetRangeSupportedForTesting(1);
    MakeFreshPartition(1003, d.mutable_record()->ranges);
    SocketScript s;
    s.chunks = {half};
    s.after_chunks = after;
    fake.network.Script("h:80", s);
    d.DownloadSegment(2);
    EXPECT_EQ(content_.substr(500, 125), ReadAll(d.SegmentFilePath(2))) << after;
  }
}

TEST_F(SegmentWorkerTest, FailedWriteEndsTheSegment) {
  Script({Ranged(0, 249, content_.substr(0, 250))});
  fake_.files.fail_writes = true;
  d_.DownloadSegment(0);
  EXPECT_EQ("", ReadAll(Segment(0)));
}

TEST_F(SegmentWorkerTest, ResumeAppendsAfterWhatTheFileHolds) {
  WriteAll(Segment(3), content_.substr(750, 53));
  d_.SetResumeFlagForTesting(1);
  d_.mutable_record()->ranges[3].start = 803;
  Script({Ranged(803, 1002, content_.substr(803))});
  d_.DownloadSegment(3);
  EXPECT_EQ(content_.substr(750), ReadAll(Segment(3)));
  EXPECT_NE(std::string::npos,
            fake_.network.Connections()[0].sent.find("Range: bytes=803-1002\r\n"));
}

TEST_F(SegmentWorkerTest, CompleteSegmentIsNotRequestedAgain) {
  d_.mutable_record()->ranges[0].start = 250;  // past its end, 249
  d_.DownloadSegment(0);
  EXPECT_TRUE(fake_.network.Connections().empty());
}

TEST_F(SegmentWorkerTest, StopFlagAdvancesTheStart) {
  std::string answer = Ranged(0, 249, content_.substr(0, 250));
  Script({answer.substr(0, answer.size() - 200), answer.substr(answer.size() - 200)});
  d_.stop_flags()[0] = 1;
  d_.DownloadSegment(0);
  EXPECT_EQ(50, d_.record().ranges[0].start);
  EXPECT_EQ(content_.substr(0, 50), ReadAll(Segment(0)));
}

TEST_F(SegmentWorkerTest, SingleConnectionMode) {
  struct {
    const char* name;
    std::string answer;
    bool written;
  } cases[] = {
      {"WholeFile", "HTTP/1.1 200 OK\r\nContent-Length: 1003\r\n\r\n" + content_, true},
      {"NoLengthUntilClose", "HTTP/1.0 200 OK\r\n\r\n" + content_, true},
      {"ExtraBytesNotWritten",
       "HTTP/1.1 200 OK\r\nContent-Length: 1003\r\n\r\n" + content_ + "junk", true},
      {"FileChangedSinceProbe", "HTTP/1.1 200 OK\r\nContent-Length: 1004\r\n\r\n" + content_ + "x",
       false},
      {"ChunkedIsRefused",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3eb\r\n" + content_, false},
      {"ServerError", "HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy", false},
  };
  for (const auto& c : cases) {
    FakeEnv fake;
    Downloader d(&fake.env);
    ASSERT_TRUE(d.ParseUrl("http://h/f.exe"));
    d.SetPathsForTesting(dir_.File(c.name));
    d.SetRangeSupportedForTesting(0);
    d.SetServerFileSizeForTesting(1103);
    d.SetResumeFlagForTesting(1);  // one connection starts the file afresh anyway
    MakeFreshPartition(1103, d.mutable_record()->ranges);
    WriteAll(d.SegmentFilePath(0), "old");
    SocketScript s;
    s.chunks = {c.answer};
    fake.network.Script("h:80", s);
    d.DownloadSegment(0);
    EXPECT_EQ(c.written ? content_ : std::string("old"), ReadAll(d.SegmentFilePath(0))) << c.name;
    EXPECT_EQ(std::string::npos, fake.network.Connections()[0].sent.find("Range:")) << c.name;
  }
}

}  // namespace
}  // namespace vorn
