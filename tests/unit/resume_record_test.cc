#include "download/resume_record.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace vorn {
namespace {

TEST(FreshPartition, RangesCoverTheFileOnce) {
  struct {
    int64_t size;
    int64_t ends[4];
  } cases[] = {
      {1003, {249, 499, 749, 1002}},
      {5368709123, {1342177279, 2684354559, 4026531839, 5368709122}},
      {1000, {249, 499, 749, 999}},
      {101, {24, 49, 74, 100}},
      {4, {0, 1, 2, 3}},
      {7, {0, 1, 2, 6}},
  };
  for (const auto& c : cases) {
    std::vector<SegmentRange> r;
    MakeFreshPartition(c.size, r);
    int64_t next = 0;
    for (int i = 0; i < kSegmentCount; ++i) {
      EXPECT_EQ(next, r[i].start) << c.size << " segment " << i;
      EXPECT_EQ(c.ends[i], r[i].end) << c.size << " segment " << i;
      EXPECT_EQ(next, OriginalStart(r, i));
      next = r[i].end + 1;
    }
  }
}

ResumeRecord Sample() {
  ResumeRecord r;
  r.url = "http://h/a/f.exe";
  r.save_path = "C:\\dl\\f.exe";
  r.last_modified = Time64(0x0102030405060708LL);
  r.file_size = 1003;
  MakeFreshPartition(1003, r.ranges);
  return r;
}

void ExpectSame(const ResumeRecord& a, const ResumeRecord& b) {
  EXPECT_EQ(a.url, b.url);
  EXPECT_EQ(a.save_path, b.save_path);
  EXPECT_EQ(a.last_modified, b.last_modified);
  EXPECT_EQ(a.file_size, b.file_size);
  ASSERT_EQ(a.ranges.size(), b.ranges.size());
  for (size_t i = 0; i < a.ranges.size(); ++i) {
    EXPECT_EQ(a.ranges[i].start, b.ranges[i].start) << i;
    EXPECT_EQ(a.ranges[i].end, b.ranges[i].end) << i;
  }
  EXPECT_EQ(a.sha256, b.sha256);
  EXPECT_EQ(a.etag, b.etag);
}

TEST(InfoFile, WrittenRecordReadsBackExactly) {
  ResumeRecord written = Sample();
  written.ranges.push_back({0, -1});  // a free slot
  std::string bytes = SerializeInfoFile(written);
  EXPECT_EQ("http://h/a/f.exe\r\r\nC:\\dl\\f.exe\r\r\n", bytes.substr(0, 33));
  EXPECT_EQ(33u + 24u + 5 * 16u, bytes.size());
  // The layout's mark, then size before time, the count of ranges, all
  // little-endian; the start of range 1 where StartFieldWithinFields says,
  // the free slot's end (-1) last.
  EXPECT_EQ(std::string("\xFE\xFF\xFF\xFF\xEB\x03\0\0\0\0\0\0", 12),
            bytes.substr(33, 12));
  EXPECT_EQ(std::string("\x08\x07\x06\x05\x04\x03\x02\x01\x05\0\0\0", 12),
            bytes.substr(45, 12));
  EXPECT_EQ(std::string("\xFA\0\0\0\0\0\0\0", 8),
            bytes.substr(33 + StartFieldWithinFields(PlanLayout::kSlots, 1), 8));
  EXPECT_EQ(std::string(8, '\xFF'), bytes.substr(bytes.size() - 8));
  ResumeRecord read;
  PlanLayout layout = PlanLayout::k32;
  ASSERT_TRUE(ReadInfoFile(bytes, &read, &layout));
  EXPECT_EQ(PlanLayout::kSlots, layout);
  ExpectSame(written, read);
}

TEST(InfoFile, PlainLineEndLosesTheLastByte) {
  std::string bytes = SerializeInfoFile(Sample(), PlanLayout::k32);
  std::string plain =
      ReplaceAll(bytes.substr(0, 33), "\r\r\n", "\r\n") + bytes.substr(33);
  ResumeRecord read;
  ParseInfoFile(plain, &read);
  EXPECT_EQ("http://h/a/f.ex", read.url);
  EXPECT_EQ("C:\\dl\\f.ex", read.save_path);
  EXPECT_EQ(1003u, read.file_size);
}

TEST(InfoFile, TextModeRulesApplyToTheFixedFields) {
  ResumeRecord r = Sample();
  // 0x0A0D = 2573 stored little-endian gives the pair CR LF, read as LF:
  // every later field shifts by one byte.
  r.file_size = 0x0A0D;
  std::string bytes = SerializeInfoFile(r, PlanLayout::k32);
  ResumeRecord read;
  ParseInfoFile(bytes, &read);
  EXPECT_EQ(0x0800000A, read.file_size);  // 0A 00 00, then the time's 08
  EXPECT_NE(r.last_modified, read.last_modified);

  // A byte 0x1A ends the data: the fields from there on keep their values.
  r = Sample();
  r.ranges[1].start = 0x1A;
  bytes = SerializeInfoFile(r, PlanLayout::k32);
  ResumeRecord before;
  before.ranges[1].start = 777;
  before.ranges[3].end = 888;
  ParseInfoFile(bytes, &before);
  EXPECT_EQ(r.file_size, before.file_size);
  EXPECT_EQ(r.ranges[0].end, before.ranges[0].end);
  EXPECT_EQ(777, before.ranges[1].start);
  EXPECT_EQ(888, before.ranges[3].end);
}

TEST(InfoFile, ShortOrLongLines) {
  ResumeRecord read;
  read.file_size = 5;
  ParseInfoFile("x", &read);  // a line shorter than two bytes is empty
  EXPECT_EQ("", read.url);
  EXPECT_EQ("", read.save_path);
  EXPECT_EQ(5, read.file_size);

  // A line of more than 1023 bytes is cut and its rest is the next item.
  std::string longline(1500, 'a');
  ResumeRecord r2;
  ParseInfoFile(longline + "\r\r\n", &r2);
  EXPECT_EQ(std::string(1021, 'a'), r2.url);
  EXPECT_EQ(std::string(477, 'a'), r2.save_path);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST(InfoFile, EveryRecordWrittenHereReadsBackExactly) {
  // Fields whose bytes the text-mode rules would garble, a URL longer than
  // a text-mode line, a package past 4 GiB with a start past it, and the
  // previous release's 32-bit layout with its validators.
  struct {
    const char* name;
    int64_t size;
    int64_t time;
    std::string url;
    PlanLayout layout;
  } cases[] = {
      {"SizeHoldsCrLf", 0x0A0D0A0D, 1, "http://h/a", PlanLayout::k64},
      {"TimeHolds1A", 1003, 0x1A1A1A1ALL, "http://h/a", PlanLayout::k64},
      {"LongUrl", 1003, 5, "http://h/" + std::string(1500, 'u'),
       PlanLayout::k64},
      {"PastFourGiB", 5368709123, 5, "http://h/a", PlanLayout::k64},
      {"Slots", 0x0A0D0A0D, 0x1A1A1A1ALL, "http://h/a", PlanLayout::kSlots},
      {"SlotsPastFourGiB", 5368709123, 5, "http://h/a", PlanLayout::kSlots},
      {"PreviousRelease", 0x7FFFFFFF, 5, "http://h/a", PlanLayout::k32},
  };
  for (const auto& c : cases) {
    ResumeRecord written = Sample();
    written.url = c.url;
    written.file_size = c.size;
    written.last_modified = Time64(c.time);
    MakeFreshPartition(c.size, written.ranges);
    written.ranges[3].start = written.ranges[3].end - 1;
    written.sha256 = std::string(64, 'a');
    written.etag = "\"e\"";
    ResumeRecord read;
    PlanLayout layout = PlanLayout::k64;
    ASSERT_TRUE(
        ReadInfoFile(SerializeInfoFile(written, c.layout), &read, &layout))
        << c.name;
    EXPECT_EQ(c.layout, layout) << c.name;
    ExpectSame(written, read);
  }
  ResumeRecord read;
  EXPECT_FALSE(ReadInfoFile("", &read));  // an empty file is no plan
  // Another writer's line longer than a text-mode line cannot be trusted.
  EXPECT_FALSE(ReadInfoFile(
      std::string(1100, 'u') + "\r\nx\r\n" + std::string(44, '\0'), &read));
  // Too few bytes of fields.
  EXPECT_FALSE(ReadInfoFile("http://h/a\r\nx\r\n1234", &read));
}

}  // namespace
}  // namespace vorn
