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
// Bytes of the fixed-size fields after the two lines.
constexpr size_t kFixedFieldBytes = 44;

// Size, time and the eight range values, little-endian, in file order (the
// size before the time).
std::string FixedFields(const ResumeRecord& record) {
  std::string out;
  AppendLe32(&out, record.file_size);
  AppendLe64(&out, static_cast<uint64_t>(record.last_modified.seconds()));
  for (const SegmentRange& range : record.ranges) {
    AppendLe32(&out, static_cast<uint32_t>(range.start));
    AppendLe32(&out, static_cast<uint32_t>(range.end));
  }
  return out;
}

}  // namespace

void MakeFreshPartition(uint32_t size, SegmentRange ranges[kSegmentCount]) {
  uint32_t q = size / kSegmentCount;
  for (int i = 0; i < kSegmentCount; ++i) {
    ranges[i].start = static_cast<int32_t>(static_cast<uint32_t>(i) * q);
    ranges[i].end = static_cast<int32_t>(static_cast<uint32_t>(i + 1) * q - 1);
  }
  // The last segment also takes the size mod 4 bytes left over.
  ranges[kSegmentCount - 1].end = static_cast<int32_t>(size - 1);
}

int32_t OriginalStart(const SegmentRange ranges[kSegmentCount], int index) {
  return index == 0 ? 0 : ranges[index - 1].end + 1;
}

std::string SerializeInfoFile(const ResumeRecord& record) {
  std::string out;
  out += record.url;
  out += "\r\r\n";
  out += record.save_path;
  out += "\r\r\n";
  out += FixedFields(record);
  if (!record.sha256.empty() || !record.etag.empty()) {
    out += "SHA256=" + record.sha256 + "\r\n";
    out += "ETAG=" + record.etag + "\r\n";
  }
  return out;
}

namespace {

// The layout as written, read without any translation: the two lines up
// to their first CR CR LF, then exactly 44 bytes.
bool ReadWrittenLayout(const std::string& raw, ResumeRecord* record) {
  size_t url_end = raw.find("\r\r\n");
  if (url_end == std::string::npos) return false;
  size_t path_end = raw.find("\r\r\n", url_end + 3);
  if (path_end == std::string::npos) return false;
  size_t fields = path_end + 3;
  if (raw.size() < fields + kFixedFieldBytes) return false;
  ResumeRecord read;
  // The validators after the fields, when there are any.
  const std::string tail = raw.substr(fields + kFixedFieldBytes);
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
  const char* p = raw.data() + fields;
  read.file_size = ReadLe32(p);
  read.last_modified = Time64(static_cast<int64_t>(ReadLe64(p + 4)));
  for (int i = 0; i < kSegmentCount; ++i) {
    read.ranges[i].start = static_cast<int32_t>(ReadLe32(p + 12 + 8 * i));
    read.ranges[i].end = static_cast<int32_t>(ReadLe32(p + 16 + 8 * i));
  }
  // Only what this client writes: the same bytes again.
  if (SerializeInfoFile(read) != raw) return false;
  *record = read;
  return true;
}

}  // namespace

bool ReadInfoFile(const std::string& raw, ResumeRecord* record) {
  if (raw.empty()) return false;
  if (ReadWrittenLayout(raw, record)) return true;
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
  if (data.size() - (second + 1) != kFixedFieldBytes) return false;
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
  std::string present = FixedFields(*record);
  char fields[kFixedFieldBytes];
  std::memcpy(fields, present.data(), kFixedFieldBytes);
  size_t available = data.size() - pos;
  if (available > kFixedFieldBytes) available = kFixedFieldBytes;
  std::memcpy(fields, data.data() + pos, available);
  record->file_size = ReadLe32(fields);
  record->last_modified = Time64(static_cast<int64_t>(ReadLe64(fields + 4)));
  for (int i = 0; i < kSegmentCount; ++i) {
    record->ranges[i].start =
        static_cast<int32_t>(ReadLe32(fields + 12 + 8 * i));
    record->ranges[i].end = static_cast<int32_t>(ReadLe32(fields + 16 + 8 * i));
  }
}

}  // namespace vorn
