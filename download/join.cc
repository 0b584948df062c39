// The join of the segment files into the package file, and the progress
// record after a transfer that did not complete.
//
// The package appears whole or not at all. The join first checks that every
// segment file holds exactly its bytes, joins them into a temporary file in
// the download directory through a bounded buffer, checks every write and
// the close, and renames the result over the package file; only then are the
// segment files and the info file deleted. Anything that fails on the way
// leaves the package file untouched and the segments in place for the next
// run.
#include "download/downloader.h"
#include "platform/files.h"

namespace vorn {

namespace {

// The join copies through a buffer of this size, never a whole segment.
constexpr int64_t kJoinBufferBytes = 64 * 1024;

// Appends the file at `path` to `out`; false unless exactly `expected`
// bytes were read and written.
bool AppendFile(platform::FileSystem* fs, const std::string& path,
                int64_t expected, platform::File* out) {
  std::unique_ptr<platform::File> in =
      fs->Open(path, platform::OpenMode::kRead);
  if (!in) return false;
  std::string buffer(static_cast<size_t>(kJoinBufferBytes), '\0');
  int64_t copied = 0;
  for (;;) {
    int64_t got = in->Read(&buffer[0], kJoinBufferBytes);
    if (got < 0) return false;
    if (got == 0) break;
    if (!out->Write(buffer.data(), got)) return false;
    copied += got;
  }
  in->Close();
  return copied == expected;
}

}  // namespace

bool Downloader::SegmentsComplete() const {
  int count = range_supported_ != 0 ? kSegmentCount : 1;
  for (int i = 0; i < count; ++i) {
    if (env_->files->FileLength(SegmentFilePath(i)) !=
        ExpectedSegmentBytes(i)) {
      return false;
    }
  }
  return true;
}

JoinResult Downloader::JoinSegments() {
  if (!SegmentsComplete()) return JoinResult::kIncomplete;
  const int count = range_supported_ != 0 ? kSegmentCount : 1;
  platform::FileSystem* fs = env_->files;
  const std::string temporary = save_path_ + ".down.tmp";

  std::unique_ptr<platform::File> out =
      fs->Open(temporary, platform::OpenMode::kCreateTruncate);
  if (!out) return JoinResult::kCopyFailed;
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    ok = AppendFile(fs, SegmentFilePath(i), ExpectedSegmentBytes(i), out.get());
  }
  ok = out->Close() && ok;
  if (!ok) {
    fs->RemoveFile(temporary);
    return JoinResult::kCopyFailed;
  }
  if (!fs->RenameOver(temporary, save_path_)) {
    fs->RemoveFile(temporary);
    return JoinResult::kReplaceFailed;
  }
  // The record goes first: a kill between the two steps then leaves
  // segment files without a plan, which the next run discards, instead of
  // a plan whose segments are gone, which it would fetch again.
  // One connection never writes an info file, so it leaves any it finds.
  if (count == kSegmentCount) fs->RemoveFile(info_file_path_);
  for (int i = 0; i < count; ++i) fs->RemoveFile(SegmentFilePath(i));
  return JoinResult::kJoined;
}

void Downloader::RecordProgress() {
  if (range_supported_ == 0) return;
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t origin = OriginalStart(record_.ranges, i);
    int64_t length = env_->files->FileLength(SegmentFilePath(i));
    if (length < 0) length = 0;
    if (length > ExpectedSegmentBytes(i)) {
      // Cannot come from our workers; start the segment again.
      env_->files->RemoveFile(SegmentFilePath(i));
      length = 0;
    }
    record_.ranges[i].start = static_cast<int32_t>(origin + length);
  }
  WriteRecord(record_);
}

void Downloader::SaveProgress() {
  if (range_supported_ == 0) return;
  // A copy: the workers own their ranges' starts while they run.
  ResumeRecord progress = record_;
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t origin = OriginalStart(record_.ranges, i);
    int64_t length = env_->files->FileLength(SegmentFilePath(i));
    if (length < 0) length = 0;
    int64_t start = origin + length;
    // The files only grow while the workers run, so a start read now never
    // runs ahead of its file; it never goes below the recorded one either.
    if (start > progress.ranges[i].start) {
      progress.ranges[i].start = static_cast<int32_t>(start);
    }
  }
  WriteRecord(progress);
}

}  // namespace vorn
