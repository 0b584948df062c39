// The plan of a download in memory, and its file form, the plan file.
#ifndef VORN_DOWNLOAD_RESUME_RECORD_H_
#define VORN_DOWNLOAD_RESUME_RECORD_H_

#include <cstdint>
#include <string>

#include "download/time64.h"

namespace vorn {

constexpr int kSegmentCount = 4;

// Inclusive byte offsets into the package file.
struct SegmentRange {
  int32_t start = 0;
  int32_t end = 0;
};

struct ResumeRecord {
  std::string url;
  std::string save_path;
  Time64 last_modified;
  uint32_t file_size = 0;
  SegmentRange ranges[kSegmentCount];
  // What the bytes are of, beyond the size and date: the announced SHA-256
  // (64 hex digits) and the server's ETag, each empty when there was none.
  // This client's plan file keeps them after the fixed fields; an older
  // client's record has neither.
  std::string sha256;
  std::string etag;
};

// Fills `ranges` with the fresh partition of `size`: four ranges of
// size / 4 bytes, the last one taking the remainder too.
void MakeFreshPartition(uint32_t size, SegmentRange ranges[kSegmentCount]);

// The original start of range `index`: 0 for the first range, otherwise
// one past the end of the range before it.
int32_t OriginalStart(const SegmentRange ranges[kSegmentCount], int index);

// The plan file's bytes for `record`: URL and save path, each followed by
// CR CR LF (a text-mode reader gets back a text of at most 1,021 bytes that
// holds no LF and no 0x1A; ReadInfoFile gets back every text); then the
// file size (4 bytes), the time (8 bytes) and the eight range values
// (4 bytes each), all little-endian; then, when the record has a SHA-256 or
// an ETag, "SHA256=<hex>" and "ETAG=<etag>", each ended by CR LF.
std::string SerializeInfoFile(const ResumeRecord& record);

// Reads `raw` the way the C runtime's text mode on Windows delivers it
// (0x1A ends the data, CR LF becomes LF), then the two lines of at most
// 1023 bytes each and the 44 bytes of fixed fields. Each line is stored
// without its last two bytes. Fields beyond the end of the data keep the
// values they had in `record`.
void ParseInfoFile(const std::string& raw, ResumeRecord* record);

// Reads a plan file into `record`, false when it holds no plan to trust.
// A file exactly as this client writes it (two lines ended by CR CR LF, the
// 44 bytes of fields and the validators, none of them translated) is read
// as raw bytes, so every plan written here comes back exactly, whatever
// bytes its fields
// hold. Any other file is read as ParseInfoFile reads it; an empty one, one
// whose lines are cut at 1,023 bytes or lack their line end, or one with
// other than exactly 44 bytes of fields (an older client's record)
// holds no plan.
bool ReadInfoFile(const std::string& raw, ResumeRecord* record);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_RESUME_RECORD_H_
