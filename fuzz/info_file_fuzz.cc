// ReadInfoFile on arbitrary bytes: no crash, and a plan it trusts is one
// that, written again, reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/resume_record.h"

namespace {

bool Same(const vorn::ResumeRecord& a, const vorn::ResumeRecord& b) {
  if (a.url != b.url || a.save_path != b.save_path ||
      a.last_modified != b.last_modified || a.file_size != b.file_size) {
    return false;
  }
  for (int i = 0; i < vorn::kSegmentCount; ++i) {
    if (a.ranges[i].start != b.ranges[i].start ||
        a.ranges[i].end != b.ranges[i].end) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  vorn::ResumeRecord record;
  if (!vorn::ReadInfoFile(raw, &record)) return 0;
  vorn::ResumeRecord again;
  if (!vorn::ReadInfoFile(vorn::SerializeInfoFile(record), &again) ||
      !Same(record, again)) {
    __builtin_trap();
  }
  return 0;
}
