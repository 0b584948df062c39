// The plan of a download in memory, and its file form, the plan file.
#ifndef VORN_DOWNLOAD_RESUME_RECORD_H_
#define VORN_DOWNLOAD_RESUME_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "download/time64.h"

namespace vorn {

// At most this many connections fetch a package at a time.
constexpr int kSegmentCount = 4;
// The plan file this client writes has room for this many ranges at least,
// so that a range split off while the download runs is written in place.
constexpr int kPlanSlots = 8;

// Inclusive byte offsets into the package file.
struct SegmentRange {
  int64_t start = 0;
  int64_t end = 0;
};

// The plan: the bytes still needed are those of the ranges (a range whose
// start is past its end needs none); every byte outside them is in the part
// file. The layouts of earlier releases hold exactly four ranges that part
// the file, each needing the bytes from its start to its end.
struct ResumeRecord {
  std::string url;
  std::string save_path;
  Time64 last_modified;
  int64_t file_size = 0;
  std::vector<SegmentRange> ranges = std::vector<SegmentRange>(kSegmentCount);
  // What the bytes are of, beyond the size and date: the announced SHA-256
  // (64 hex digits) and the server's ETag, each empty when there was none.
  // This client's plan file keeps them after the fixed fields; an older
  // client's record has neither.
  std::string sha256;
  std::string etag;
};

// Makes `ranges` the fresh partition of `size`: four ranges of size / 4
// bytes, the last one taking the remainder too.
void MakeFreshPartition(int64_t size, std::vector<SegmentRange>& ranges);

// The original start of range `index` of a four-range partition: 0 for the
// first range, otherwise one past the end of the range before it.
int64_t OriginalStart(const std::vector<SegmentRange>& ranges, int index);

// The layouts of the fixed fields after the two lines of a plan file.
//
// kSlots, what this client writes:
//   FE FF FF FF  the mark of this layout
//   8 bytes      the file size
//   8 bytes      the time (seconds since 1970, UTC; 0 for none)
//   4 bytes      the number of ranges (kPlanSlots or more)
//   16 bytes     each range, as start and inclusive end; a range that needs
//                nothing (a free slot) has its start past its end
// every value little-endian and signed.
//
// k64, what the previous release of this client wrote:
//   FF FF FF FF  the mark of this layout (where the 32-bit layout holds its
//                size, which was never above 0x7FFFFFFF there)
//   8 bytes      the file size
//   8 bytes      the time (seconds since 1970, UTC; 0 for none)
//   8 x 8 bytes  the four ranges, each as start and inclusive end
// 84 bytes in all, every value little-endian and signed.
//
// k32, what the release before that wrote and what an older
// client's ".down" record holds: the size (4 bytes), the time (8) and the
// eight range values (4 bytes each), 44 bytes in all.
enum class PlanLayout { kSlots, k64, k32 };

// Bytes of the fixed fields of a record of `ranges` ranges in `layout`
// (k64 and k32 always hold four).
int64_t FixedFieldBytes(PlanLayout layout, int ranges = kSegmentCount);
// Where the start of range `index` lies within the fixed fields of
// `layout`; it takes 8 bytes in kSlots and k64 and 4 in k32, and its end
// follows it.
int64_t StartFieldWithinFields(PlanLayout layout, int index);

// The plan file's bytes for `record`: URL and save path, each followed by
// CR CR LF (a text-mode reader gets back a text of at most 1,021 bytes that
// holds no LF and no 0x1A; ReadInfoFile gets back every text); then the
// fixed fields in `layout`; then, when the record has a SHA-256 or an
// ETag, "SHA256=<hex>" and "ETAG=<etag>", each ended by CR LF. Values that
// k32 cannot hold are cut to their low 32 bits there.
std::string SerializeInfoFile(const ResumeRecord& record,
                              PlanLayout layout = PlanLayout::kSlots);

// Reads `raw` the way the C runtime's text mode on Windows delivers it
// (0x1A ends the data, CR LF becomes LF), then the two lines of at most
// 1023 bytes each and the 44 bytes of k32's fixed fields (each range value
// a signed 32-bit number). Each line is stored without its last two bytes.
// Fields beyond the end of the data keep the values they had in `record`.
void ParseInfoFile(const std::string& raw, ResumeRecord* record);

// Reads a plan file into `record`, false when it holds no plan to trust;
// `*layout` (when given) says which layout it was. A file exactly as this
// client writes it, or as its earlier releases wrote it (two lines ended by
// CR CR LF, the fixed fields of kSlots, k64 or k32 and the validators, none
// of them translated), is read as raw bytes, so every plan written here comes back
// exactly, whatever bytes its fields hold. Any other file is read as
// ParseInfoFile reads it (k32); an empty one, one whose lines are cut at
// 1,023 bytes or lack their line end, or one with other than exactly 44
// bytes of fields (an older client's record) holds no plan.
bool ReadInfoFile(const std::string& raw, ResumeRecord* record,
                  PlanLayout* layout = nullptr);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_RESUME_RECORD_H_
