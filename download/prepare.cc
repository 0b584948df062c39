// The download preparation: the URL, the save path, the info file, the
// probe, and the plan reconciled with what an earlier run left.
#include "download/downloader.h"
#include "platform/files.h"
#include "platform/text.h"

namespace vorn {

namespace {

// More than two lines of at most 1023 bytes and the 44 bytes of fields can
// ever need, even with every byte doubled by CR LF pairs.
constexpr int64_t kMaxInfoFileBytes = 8192;

}  // namespace

Downloader::Downloader(const platform::Env* env) : env_(env) {
  for (int i = 0; i < kSegmentCount; ++i) jobs_[i] = {this, i};
}

std::string DownloadPlan::SegmentFilePath(int index) const {
  return info_file_path + static_cast<char>('0' + index);
}

int64_t DownloadPlan::SegmentBytes(int index) const {
  if (!ranged) return size;
  return static_cast<int64_t>(record.ranges[index].end) -
         OriginalStart(record.ranges, index) + 1;
}

Outcome Downloader::PrepareDownload(const std::string& url_text,
                                    const std::string& save_path) {
  probe_ = ProbeAnswer();
  plan_ = DownloadPlan();
  error_ = platform::Status();
  HttpUrl url;
  // A URL without a scheme is taken as http, and recorded so.
  std::string record_url = url_text;
  UrlError parsed = HttpUrl::Parse(record_url, &url);
  if (parsed == UrlError::kNotHttp &&
      url_text.find("://") == std::string::npos) {
    record_url = "http://" + url_text;
    parsed = HttpUrl::Parse(record_url, &url);
  }
  if (parsed == UrlError::kBadPort) return Outcome::kBadPort;
  if (parsed != UrlError::kNone) return Outcome::kBadUrl;
  plan_.save_path = Trim(save_path);
  if (plan_.save_path.empty()) return Outcome::kBadSavePath;
  plan_.info_file_path = plan_.save_path + ".down";

  std::string raw;
  const bool have_file = platform::ReadFileBytes(
      env_->files, plan_.info_file_path, kMaxInfoFileBytes, &raw);
  // An empty or unreadable record (a full disk, a line cut short) is no
  // record: the download is planned afresh.
  const bool have_record = have_file && ReadInfoFile(raw, &plan_.record);

  probe_ = ProbeSize(url, 0);
  if (!probe_.ok()) return probe_.outcome;
  if (expected_size_ >= 0 && probe_.size != expected_size_) {
    return Outcome::kWrongSize;
  }
  plan_.size = probe_.size;
  plan_.ranged = probe_.ranges;

  if (have_record && plan_.record.url != record_url) {
    // Only one instance runs at a time, so a record for another URL is
    // nobody's download in progress: it is a plan that an older release
    // left, and it would block every later one. It goes, with its segment
    // files, and the new package is planned.
    plan_.dropped_other = true;
    if (!plan_.ranged) env_->files->RemoveFile(plan_.info_file_path);
  }
  const bool resume = have_record && !plan_.dropped_other && MayResume(raw);
  if (!resume) {
    plan_.record.url = record_url;
    plan_.record.save_path = plan_.save_path;
    PlanFresh();
    // Whatever an earlier attempt left in the segment files does not
    // belong to this plan.
    if (have_file) DiscardSegmentFiles();
  }
  plan_.resumed = resume;

  // Four-part mode keeps its plan on disk before any worker starts, so an
  // interrupted transfer (even a killed process) resumes on the next run;
  // a download without its plan on disk does not start.
  if (plan_.ranged) {
    error_ = WriteRecord(plan_.record);
    if (!error_.ok()) return Outcome::kPlanNotWritten;
  }
  return Outcome::kOk;
}

bool Downloader::MayResume(const std::string& raw) {
  const ResumeRecord& record = plan_.record;
  // Another date (older or newer) or size means another file: joining its
  // bytes with the kept ones would make a mix of two files. Without a date
  // nothing tells the files apart but the announced digest, which the join
  // checks: only then may the bytes be kept.
  if (probe_.dated) {
    if (record.last_modified != probe_.modified) return false;
  } else if (record.last_modified != Time64() || expected_sha256_.empty()) {
    return false;
  }
  if (static_cast<int64_t>(record.file_size) != probe_.size ||
      static_cast<int64_t>(record.ranges[3].end) != probe_.size - 1) {
    return false;
  }
  // A record that the text-mode reading garbled, or whose segment files do
  // not fit it, cannot be trusted: planning afresh loses at most the bytes
  // already fetched, resuming from it would corrupt the package.
  if (raw != SerializeInfoFile(record)) return false;
  return ReconcileWithSegmentFiles();
}

platform::Status Downloader::WriteRecord(const ResumeRecord& record) const {
  // Written beside the record and renamed over it, so that a full disk or
  // a kill leaves the previous record, never an empty or half one.
  const std::string temporary = plan_.info_file_path + ".new";
  if (!platform::WriteFileBytes(env_->files, temporary,
                                SerializeInfoFile(record))) {
    env_->files->RemoveFile(temporary);
    return platform::Status::Error(platform::ErrorKind::kOther, temporary);
  }
  if (!env_->files->RenameOver(temporary, plan_.info_file_path)) {
    env_->files->RemoveFile(temporary);
    return platform::Status::Error(platform::ErrorKind::kOther,
                                   plan_.info_file_path);
  }
  return platform::Status();
}

void Downloader::PlanFresh() {
  // Without a Last-Modified the record says so with a zero time; no clock
  // reading stands in for the file's date.
  plan_.record.last_modified = probe_.dated ? probe_.modified : Time64();
  plan_.record.file_size = static_cast<uint32_t>(probe_.size);
  MakeFreshPartition(static_cast<uint32_t>(probe_.size), plan_.record.ranges);
}

bool Downloader::ReconcileWithSegmentFiles() {
  // Only four-part mode resumes; one connection always fetches the whole
  // file from its first byte.
  if (!plan_.ranged) return true;
  SegmentRange fresh[kSegmentCount];
  MakeFreshPartition(static_cast<uint32_t>(probe_.size), fresh);
  for (int i = 0; i < kSegmentCount; ++i) {
    if (plan_.record.ranges[i].end != fresh[i].end) return false;
  }
  SegmentRange reconciled[kSegmentCount];
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t length = env_->files->FileLength(plan_.SegmentFilePath(i));
    if (length < 0) length = 0;  // a missing segment file is empty
    int64_t origin = OriginalStart(fresh, i);
    int64_t capacity = static_cast<int64_t>(fresh[i].end) - origin + 1;
    // The record's start trails the file (it is written from the files'
    // lengths); a file shorter than that, or longer than its range, is not
    // what the workers wrote: that segment starts again.
    if (length > capacity || origin + length < plan_.record.ranges[i].start) {
      env_->files->RemoveFile(plan_.SegmentFilePath(i));
      length = 0;
    }
    reconciled[i].start = static_cast<int32_t>(origin + length);
    reconciled[i].end = fresh[i].end;
  }
  for (int i = 0; i < kSegmentCount; ++i) plan_.record.ranges[i] = reconciled[i];
  return true;
}

void Downloader::DiscardSegmentFiles() {
  for (int i = 0; i < kSegmentCount; ++i) {
    env_->files->RemoveFile(plan_.SegmentFilePath(i));
  }
}

}  // namespace vorn
