// The plan's file form. The reader applies the text-mode input rules of
// the Windows C runtime on every platform, so a plan file reads the same
// everywhere; the writer ends each line with CR CR LF, which that reader
// gives back exactly.
#include "download/resume_record.h"

#include <cstring>

#include "platform/text.h"

namespace vorn {

namespace {

// The text-mode input translation of the Windows C runtime: 0x1A ends the
// data, CR LF becomes LF.
std::string TextModeTranslate(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '\x1A') break;  // end of the data
    if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out.push_back(c);
  }
  return out;
}

// A line read takes at most this many bytes and stops after the first LF.
constexpr size_t kMaxLineBytes = 1023;
// Bytes of the fixed-size fields after the two lines, in each layout.
constexpr size_t kFixedFieldBytes32 = 44;
constexpr size_t kFixedFieldBytes64 = 84;
// The first four bytes of the fields of the 64-bit layouts.
constexpr uint32_t kLayout64Mark = 0xFFFFFFFFu;
constexpr uint32_t kLayoutSlotsMark = 0xFFFFFFFEu;
// Bytes of the slots layout before its ranges.
constexpr size_t kSlotsHeadBytes = 24;
// More ranges than a plan file can hold in its 8 KiB.
constexpr uint32_t kMaxSlots = 256;

// Size, time and the range values, little-endian, in file order (the
// size before the time), in `layout`; k64 and k32 hold four ranges.
std::string FixedFields(const ResumeRecord& record, PlanLayout layout) {
  std::string out;
  if (layout == PlanLayout::k32) {
    AppendLe32(&out, static_cast<uint32_t>(record.file_size));
  } else {
    AppendLe32(&out, layout == PlanLayout::k64 ? kLayout64Mark
                                               : kLayoutSlotsMark);
    AppendLe64(&out, static_cast<uint64_t>(record.file_size));
  }
  AppendLe64(&out, static_cast<uint64_t>(record.last_modified.seconds()));
  size_t count = record.ranges.size();
  if (layout == PlanLayout::kSlots) {
    AppendLe32(&out, static_cast<uint32_t>(count));
  } else if (count > kSegmentCount) {
    count = kSegmentCount;
  }
  for (size_t i = 0; i < count; ++i) {
    const SegmentRange& range = record.ranges[i];
    if (layout == PlanLayout::k32) {
      AppendLe32(&out, static_cast<uint32_t>(range.start));
      AppendLe32(&out, static_cast<uint32_t>(range.end));
    } else {
      AppendLe64(&out, static_cast<uint64_t>(range.start));
      AppendLe64(&out, static_cast<uint64_t>(range.end));
    }
  }
  return out;
}

// Reads the fixed fields of `layout` from `p` into `record`. A k32 range
// value is a signed 32-bit number, as the writers of that layout held it.
void ReadFixedFields(const char* p, PlanLayout layout, ResumeRecord* record) {
  if (layout == PlanLayout::kSlots) {
    record->file_size = static_cast<int64_t>(ReadLe64(p + 4));
    record->last_modified = Time64(static_cast<int64_t>(ReadLe64(p + 12)));
    record->ranges.resize(ReadLe32(p + 20));
    for (size_t i = 0; i < record->ranges.size(); ++i) {
      const char* at = p + kSlotsHeadBytes + 16 * i;
      record->ranges[i].start = static_cast<int64_t>(ReadLe64(at));
      record->ranges[i].end = static_cast<int64_t>(ReadLe64(at + 8));
    }
    return;
  }
  record->ranges.resize(kSegmentCount);
  if (layout == PlanLayout::k32) {
    record->file_size = ReadLe32(p);
    record->last_modified = Time64(static_cast<int64_t>(ReadLe64(p + 4)));
    for (int i = 0; i < kSegmentCount; ++i) {
      record->ranges[i].start = static_cast<int32_t>(ReadLe32(p + 12 + 8 * i));
      record->ranges[i].end = static_cast<int32_t>(ReadLe32(p + 16 + 8 * i));
    }
    return;
  }
  record->file_size = static_cast<int64_t>(ReadLe64(p + 4));
  record->last_modified = Time64(static_cast<int64_t>(ReadLe64(p + 12)));
  for (int i = 0; i < kSegmentCount; ++i) {
    record->ranges[i].start = static_cast<int64_t>(ReadLe64(p + 20 + 16 * i));
    record->ranges[i].end = static_cast<int64_t>(ReadLe64(p + 28 + 16 * i));
  }
}

}  // namespace

void MakeFreshPartition(int64_t size, std::vector<SegmentRange>& ranges) {
  ranges.assign(kSegmentCount, SegmentRange());
  const int64_t q = size / kSegmentCount;
  for (int i = 0; i < kSegmentCount; ++i) {
    ranges[i].start = i * q;
    ranges[i].end = (i + 1) * q - 1;
  }
  // The last segment also takes the size mod 4 bytes left over.
  ranges[kSegmentCount - 1].end = size - 1;
}

int64_t OriginalStart(const std::vector<SegmentRange>& ranges, int index) {
  return index == 0 ? 0 : ranges[index - 1].end + 1;
}

int64_t FixedFieldBytes(PlanLayout layout, int ranges) {
  switch (layout) {
    case PlanLayout::k32:
      return kFixedFieldBytes32;
    case PlanLayout::k64:
      return kFixedFieldBytes64;
    case PlanLayout::kSlots:
      break;
  }
  return static_cast<int64_t>(kSlotsHeadBytes) + 16 * ranges;
}

int64_t StartFieldWithinFields(PlanLayout layout, int index) {
  // k32: size (4) and time (8), then start and end of 4 bytes each; k64:
  // the mark (4), size (8) and time (8), then start and end of 8 each;
  // kSlots: the same with the count (4) before the ranges.
  switch (layout) {
    case PlanLayout::k32:
      return 12 + 8 * index;
    case PlanLayout::k64:
      return 20 + 16 * index;
    case PlanLayout::kSlots:
      break;
  }
  return static_cast<int64_t>(kSlotsHeadBytes) + 16 * index;
}

std::string SerializeInfoFile(const ResumeRecord& record, PlanLayout layout) {
  std::string out;
  out += record.url;
  out += "\r\r\n";
  out += record.save_path;
  out += "\r\r\n";
  out += FixedFields(record, layout);
  if (!record.sha256.empty() || !record.etag.empty()) {
    out += "SHA256=" + record.sha256 + "\r\n";
    out += "ETAG=" + record.etag + "\r\n";
  }
  return out;
}

namespace {

// The layout as written, read without any translation: the two lines up
// to their first CR CR LF, then exactly the fixed fields of `layout`.
bool ReadWrittenLayout(const std::string& raw, PlanLayout layout,
                       ResumeRecord* record) {
  size_t url_end = raw.find("\r\r\n");
  if (url_end == std::string::npos) return false;
  size_t path_end = raw.find("\r\r\n", url_end + 3);
  if (path_end == std::string::npos) return false;
  size_t fields = path_end + 3;
  int count = kSegmentCount;
  if (layout == PlanLayout::kSlots) {
    if (raw.size() < fields + kSlotsHeadBytes ||
        ReadLe32(raw.data() + fields) != kLayoutSlotsMark ||
        ReadLe32(raw.data() + fields + 20) > kMaxSlots) {
      return false;
    }
    count = static_cast<int>(ReadLe32(raw.data() + fields + 20));
  }
  const size_t fixed = static_cast<size_t>(FixedFieldBytes(layout, count));
  if (raw.size() < fields + fixed) return false;
  if (layout == PlanLayout::k64 &&
      ReadLe32(raw.data() + fields) != kLayout64Mark) {
    return false;
  }
  ResumeRecord read;
  // The validators after the fields, when there are any.
  const std::string tail = raw.substr(fields + fixed);
  if (!tail.empty()) {
    constexpr char kSha[] = "SHA256=";
    constexpr char kEtag[] = "\r\nETAG=";
    size_t etag_at = tail.find(kEtag);
    if (tail.compare(0, sizeof(kSha) - 1, kSha) != 0 ||
        etag_at == std::string::npos || tail.size() < etag_at + 2 ||
        tail.compare(tail.size() - 2, 2, "\r\n") != 0) {
      return false;
    }
    read.sha256 = tail.substr(sizeof(kSha) - 1, etag_at - (sizeof(kSha) - 1));
    const size_t etag_begin = etag_at + sizeof(kEtag) - 1;
    if (tail.size() < etag_begin + 2) return false;
    read.etag = tail.substr(etag_begin, tail.size() - 2 - etag_begin);
  }
  read.url = raw.substr(0, url_end);
  read.save_path = raw.substr(url_end + 3, path_end - url_end - 3);
  ReadFixedFields(raw.data() + fields, layout, &read);
  // Only what this client writes: the same bytes again.
  if (SerializeInfoFile(read, layout) != raw) return false;
  *record = read;
  return true;
}

}  // namespace

bool ReadInfoFile(const std::string& raw, ResumeRecord* record,
                  PlanLayout* layout) {
  if (raw.empty()) return false;
  // The marks of the 64-bit layouts are no size the 32-bit layout ever held,
  // so at most one of them reads the file.
  for (PlanLayout written :
       {PlanLayout::kSlots, PlanLayout::k64, PlanLayout::k32}) {
    if (ReadWrittenLayout(raw, written, record)) {
      if (layout != nullptr) *layout = written;
      return true;
    }
  }
  if (layout != nullptr) *layout = PlanLayout::k32;
  // Another writer's file, through the text-mode rules: both lines must end
  // within their 1,023 bytes and all 44 bytes of fields must be there.
  const std::string data = TextModeTranslate(raw);
  size_t first = data.find('\n');
  if (first == std::string::npos || first + 1 > kMaxLineBytes) return false;
  size_t second = data.find('\n', first + 1);
  if (second == std::string::npos || second - first > kMaxLineBytes) {
    return false;
  }
  // Exactly the fields: bytes after them are no layout this client knows.
  if (data.size() - (second + 1) != kFixedFieldBytes32) return false;
  ParseInfoFile(raw, record);
  return true;
}

void ParseInfoFile(const std::string& raw, ResumeRecord* record) {
  const std::string data = TextModeTranslate(raw);
  size_t pos = 0;
  auto read_line = [&]() {
    size_t begin = pos;
    while (pos < data.size() && pos - begin < kMaxLineBytes) {
      if (data[pos++] == '\n') break;
    }
    std::string line = data.substr(begin, pos - begin);
    // The stored text is the line without its last two bytes.
    return line.size() < 2 ? std::string() : line.substr(0, line.size() - 2);
  };
  record->url = read_line();
  record->save_path = read_line();

  // The fixed fields are read over their present values, byte by byte, so
  // what lies beyond the end of the data keeps the value it had.
  record->ranges.resize(kSegmentCount);
  std::string present = FixedFields(*record, PlanLayout::k32);
  char fields[kFixedFieldBytes32];
  std::memcpy(fields, present.data(), kFixedFieldBytes32);
  size_t available = data.size() - pos;
  if (available > kFixedFieldBytes32) available = kFixedFieldBytes32;
  std::memcpy(fields, data.data() + pos, available);
  ReadFixedFields(fields, PlanLayout::k32, record);
}

}  // namespace vorn
