// The transfer: start the workers, wait for them, and join their segment
// files into the package file.
//
// The package appears whole or not at all. The merge first checks that every
// segment file holds exactly its bytes, joins them into a temporary file in
// the download directory through a bounded buffer, checks every write and
// the close, and renames the result over the package file; only then are the
// segment files and the info file deleted. Anything that fails on the way
// leaves the package file untouched and the segments in place for the next
// run, and is logged as a failed download.
#include "download/downloader.h"
#include "platform/files.h"
#include "shell/messages.h"
#include "update/updater.h"

namespace vorn {

namespace {

// The merge copies through a buffer of this size, never a whole segment.
constexpr int64_t kMergeBufferBytes = 64 * 1024;

// Appends the file at `path` to `out`; false unless exactly `expected`
// bytes were read and written.
bool AppendFile(platform::FileSystem* fs, const std::string& path,
                int64_t expected, platform::File* out) {
  std::unique_ptr<platform::File> in =
      fs->Open(path, platform::OpenMode::kRead);
  if (!in) return false;
  std::string buffer(static_cast<size_t>(kMergeBufferBytes), '\0');
  int64_t copied = 0;
  for (;;) {
    int64_t got = in->Read(&buffer[0], kMergeBufferBytes);
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
  platform::WriteFileBytes(env_->files, info_file_path_,
                           SerializeInfoFile(record_));
}

int32_t Updater::StartTransfer() {
  *downloader_.worker_counter() = 0;
  int count = downloader_.range_supported() != 0 ? kSegmentCount : 1;
  for (int i = 0; i < count; ++i) {
    downloader_.stop_flags()[i] = 0;
    thread_handles_[i] =
        env_->threads->StartThread(SegmentThreadProc, &downloader_);
    // Workers already started run on and end with the process; the info
    // file written before them lets the next run resume.
    if (thread_handles_[i] == nullptr) return 0;
  }
  return WaitAndMerge();
}

int32_t Updater::WaitAndMerge() {
  const bool four_part = downloader_.range_supported() != 0;
  bool waited = four_part
                    ? env_->threads->WaitAll(thread_handles_, kSegmentCount)
                    : env_->threads->WaitOne(thread_handles_[0]);
  if (downloader_.stop_flags()[0] != 0) return -1;
  if (!waited) return 0;

  if (!MergeSegments(four_part ? kSegmentCount : 1)) {
    downloader_.RecordProgress();
    WriteLog(msg::kDownloadFailed);
    return 0;
  }
  WriteLog(msg::kDownloadSucceeded);
  CompleteUpdate();
  return 0;
}

bool Updater::MergeSegments(int count) {
  if (!downloader_.SegmentsComplete()) return false;
  platform::FileSystem* fs = env_->files;
  const std::string& package = downloader_.save_path();
  const std::string temporary = package + ".down.tmp";

  std::unique_ptr<platform::File> out =
      fs->Open(temporary, platform::OpenMode::kCreateTruncate);
  if (!out) return false;
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    ok = AppendFile(fs, downloader_.SegmentFilePath(i),
                    fs->FileLength(downloader_.SegmentFilePath(i)), out.get());
  }
  ok = out->Close() && ok;
  if (!ok || !fs->RenameOver(temporary, package)) {
    fs->RemoveFile(temporary);
    return false;
  }
  for (int i = 0; i < count; ++i)
    fs->RemoveFile(downloader_.SegmentFilePath(i));
  // One connection never writes an info file, so it leaves any it finds.
  if (count == kSegmentCount) fs->RemoveFile(downloader_.info_file_path());
  return true;
}

}  // namespace vorn
