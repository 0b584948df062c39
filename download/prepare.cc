// The download preparation: URL, save path, the info file, the probe and
// the plan of four ranges.
#include "download/downloader.h"
#include "platform/files.h"
#include "platform/text.h"

namespace vorn {

namespace {

// More than two lines of at most 1023 bytes and the 44 bytes of fields can
// ever need, even with every byte doubled by CR LF pairs.
constexpr int64_t kMaxInfoFileBytes = 8192;

}  // namespace

std::string Downloader::SegmentFilePath(int index) const {
  return info_file_path_ + static_cast<char>('0' + index);
}

PrepareResult Downloader::PrepareDownload(std::string url,
                                          std::string save_path) {
  if (url.empty()) return PrepareResult::kBadUrl;
  if (!ParseUrl(url)) {
    url = "http://" + url;
    if (!ParseUrl(url)) return PrepareResult::kBadUrl;
  }
  save_path_ = Trim(save_path);
  if (save_path_.empty()) return PrepareResult::kBadSavePath;
  info_file_path_ = save_path_ + ".down";

  std::string raw;
  bool have_file = platform::ReadFileBytes(env_->files, info_file_path_,
                                           kMaxInfoFileBytes, &raw);
  resume_flag_ = have_file ? 1 : 0;
  // An empty or unreadable record (a full disk, a line cut short) is no
  // record: the download is planned afresh instead of stopping at the
  // warning for ever.
  if (!have_file || !ReadInfoFile(raw, &record_)) {
    record_.ranges[0].start = kNoRecordMarker;
  }

  int probed = ProbeSize(0);
  // The probe asked for the whole file from offset 100 and read only its
  // header's worth; closing now stops the server from pushing the rest of
  // the file into a connection nobody reads.
  if (probe_socket_) probe_socket_->Close();
  if (probed != kProbeOk) return PrepareResult::kProbeFailed;
  if (expected_size_ >= 0 && PackageSize() != expected_size_) {
    return PrepareResult::kWrongSize;
  }

  if (record_.ranges[0].start == kNoRecordMarker) {
    record_.url = url;
    record_.save_path = save_path_;
    PlanFresh();
    // The workers append when an info file was read: whatever an earlier
    // attempt left in the segment files does not belong to this plan.
    if (resume_flag_ != 0) DiscardSegmentFiles();
  } else if (record_.url != url) {
    return PrepareResult::kOtherDownload;
  } else {
    // Any other date than the recorded one (older or newer), or any other
    // size, means another file: joining its bytes with the kept ones would
    // make a mix of two files.
    bool stale =
        record_.last_modified != server_time_ ||
        record_.file_size != server_file_size_ ||
        static_cast<uint32_t>(record_.ranges[3].end) != server_file_size_ - 1u;
    // A record that the text-mode reading garbled, or whose segment files
    // do not fit it, cannot be trusted: planning afresh loses at most the
    // bytes already fetched, resuming from it would corrupt the package.
    if (stale || !RecordReadsBackExactly(raw) || !ReconcileWithSegmentFiles()) {
      PlanFresh();
      DiscardSegmentFiles();
    }
  }

  // Four-part mode keeps its plan on disk before any worker starts, so an
  // interrupted transfer (even a killed process) resumes on the next run.
  if (range_supported_ != 0) WriteRecord(record_);
  return PrepareResult::kReady;
}

bool Downloader::WriteRecord(const ResumeRecord& record) {
  // Written beside the record and renamed over it, so that a full disk or
  // a kill leaves the previous record, never an empty or half one.
  const std::string temporary = info_file_path_ + ".new";
  if (!platform::WriteFileBytes(env_->files, temporary,
                                SerializeInfoFile(record)) ||
      !env_->files->RenameOver(temporary, info_file_path_)) {
    env_->files->RemoveFile(temporary);
    return false;
  }
  return true;
}

void Downloader::PlanFresh() {
  record_.last_modified = server_time_;
  record_.file_size = server_file_size_;
  MakeFreshPartition(server_file_size_, record_.ranges);
}

bool Downloader::RecordReadsBackExactly(const std::string& raw) const {
  std::string expected = SerializeInfoFile(record_);
  return raw.compare(0, expected.size(), expected) == 0;
}

bool Downloader::ReconcileWithSegmentFiles() {
  // Only four-part mode resumes; one connection always fetches the whole
  // file from its first byte.
  if (range_supported_ == 0) return true;
  SegmentRange fresh[kSegmentCount];
  MakeFreshPartition(server_file_size_, fresh);
  for (int i = 0; i < kSegmentCount; ++i) {
    if (record_.ranges[i].end != fresh[i].end) return false;
  }
  SegmentRange reconciled[kSegmentCount];
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t length = env_->files->FileLength(SegmentFilePath(i));
    if (length < 0) length = 0;  // a missing segment file is empty
    int64_t origin = OriginalStart(fresh, i);
    int64_t capacity = static_cast<int64_t>(fresh[i].end) - origin + 1;
    // The record's start trails the file (it is written from the files'
    // lengths); a file shorter than that, or longer than its range, is not
    // what the workers wrote: that segment starts again.
    if (length > capacity || origin + length < record_.ranges[i].start) {
      env_->files->RemoveFile(SegmentFilePath(i));
      length = 0;
    }
    reconciled[i].start = static_cast<int32_t>(origin + length);
    reconciled[i].end = fresh[i].end;
  }
  for (int i = 0; i < kSegmentCount; ++i) record_.ranges[i] = reconciled[i];
  return true;
}

void Downloader::DiscardSegmentFiles() {
  for (int i = 0; i < kSegmentCount; ++i) {
    env_->files->RemoveFile(SegmentFilePath(i));
  }
}

int64_t Downloader::PackageSize() const {
  // In single mode the probe's answer was the whole file, and its length
  // was counted as from offset 100.
  int64_t size = static_cast<int64_t>(server_file_size_);
  return range_supported_ != 0 ? size : size - 100;
}

int64_t Downloader::ExpectedSegmentBytes(int index) const {
  if (range_supported_ == 0) {
    // The probe's answer to its range request was the whole file.
    return static_cast<int64_t>(server_file_size_) - 100;
  }
  return static_cast<int64_t>(record_.ranges[index].end) -
         OriginalStart(record_.ranges, index) + 1;
}

}  // namespace vorn
