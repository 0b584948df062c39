// The download preparation: the URL, the save path, the plan file, the
// probe, and the plan reconciled with what an earlier run left (this
// client's part file, or an older client's segment files).
#include "download/downloader.h"

#include <algorithm>

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

std::string DownloadPlan::OldSegmentPath(int index) const {
  return OldRecordPath() + static_cast<char>('0' + index);
}

int64_t StartFieldOffset(const ResumeRecord& record, int index) {
  // The two lines with their CR CR LF, the size (4) and the time (8), then
  // the ranges as start and end of 4 bytes each.
  return static_cast<int64_t>(record.url.size() + 3 +
                              record.save_path.size() + 3) +
         12 + 8 * index;
}

Outcome Downloader::PrepareDownload(const std::string& url_text,
                                    const std::string& save_path) {
  probe_ = ProbeAnswer();
  plan_ = DownloadPlan();
  error_ = platform::Status();
  digest_.reset();
  hashed_ = 0;
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
  plan_.plan_path = plan_.save_path + ".plan";
  plan_.part_path = plan_.save_path + ".part";

  // This client's plan, or else the record an older client left.
  std::string raw;
  bool old_layout = false;
  bool have_file = platform::ReadFileBytes(env_->files, plan_.plan_path,
                                           kMaxInfoFileBytes, &raw)
                       .ok();
  if (!have_file) {
    have_file = platform::ReadFileBytes(env_->files, plan_.OldRecordPath(),
                                        kMaxInfoFileBytes, &raw)
                    .ok();
    old_layout = have_file;
  }
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

  // Only one instance runs at a time, so a record for another URL is
  // nobody's download in progress: it is a plan that an older release
  // left, and it would block every later one. It goes, with its bytes, and
  // the new package is planned.
  plan_.dropped_other = have_record && plan_.record.url != record_url;
  // Only four-part mode resumes; one connection writes the part file afresh
  // from its first byte.
  bool resume = plan_.ranged && have_record && !plan_.dropped_other &&
                MayResume(raw, old_layout);
  if (resume && old_layout) resume = plan_.took_over = TakeOverOldLayout();
  if (!resume) {
    plan_.record.url = record_url;
    plan_.record.save_path = plan_.save_path;
    PlanFresh();
    // Whatever an earlier attempt left in the part file does not belong to
    // this plan.
    (void)env_->files->RemoveFile(plan_.part_path);
  }
  plan_.resumed = resume;

  if (!plan_.ranged) {
    // A plan kept now would describe bytes that the one connection is
    // about to overwrite.
    (void)env_->files->RemoveFile(plan_.plan_path);
  } else {
    // Four-part mode keeps its plan on disk before any worker starts, so an
    // interrupted transfer (even a killed process) resumes on the next run;
    // a download without its plan on disk does not start.
    error_ = WriteRecord(plan_.record);
    if (!error_.ok()) return Outcome::kPlanNotWritten;
  }
  // An older client's files go once what replaces them is on disk (or
  // nothing of them is kept).
  RemoveOldLayout();

  // With a digest announced, worker 0 hashes the bytes it writes from the
  // first one on; the join reads back only the rest.
  if (!expected_sha256_.empty() && env_->crypto != nullptr) {
    digest_ = env_->crypto->NewSha256();
  }
  return Outcome::kOk;
}

bool Downloader::MayResume(const std::string& raw, bool old_layout) {
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
  // A record that the text-mode reading garbled, or whose files do not fit
  // it, cannot be trusted: planning afresh loses at most the bytes already
  // fetched, resuming from it would corrupt the package.
  if (raw != SerializeInfoFile(record)) return false;
  SegmentRange fresh[kSegmentCount];
  MakeFreshPartition(static_cast<uint32_t>(probe_.size), fresh);
  for (int i = 0; i < kSegmentCount; ++i) {
    if (record.ranges[i].end != fresh[i].end) return false;
  }
  return old_layout ? ReconcileWithOldSegments() : ReconcileWithPartFile();
}

bool Downloader::ReconcileWithPartFile() {
  // The part file has the package's size from the first write on; without
  // it (or at another size) no byte the plan counts is there.
  if (env_->files->FileLength(plan_.part_path) != probe_.size) return false;
  // Every start lies in its range or one past it (complete): the workers
  // never write it otherwise.
  for (int i = 0; i < kSegmentCount; ++i) {
    const SegmentRange& range = plan_.record.ranges[i];
    if (range.start < OriginalStart(plan_.record.ranges, i) ||
        static_cast<int64_t>(range.start) > static_cast<int64_t>(range.end) + 1) {
      return false;
    }
  }
  // The workers move their starts in place without a flush, so after a
  // power cut a start may count bytes that never reached the disk; where
  // the file system shows them as a hole, they are fetched again.
  std::unique_ptr<platform::File> part;
  if (!env_->files->Open(plan_.part_path, platform::OpenMode::kRead, &part)
           .ok()) {
    return false;
  }
  for (int i = 0; i < kSegmentCount; ++i) {
    SegmentRange& range = plan_.record.ranges[i];
    const int64_t origin = OriginalStart(plan_.record.ranges, i);
    if (range.start > origin) {
      range.start = static_cast<int32_t>(part->DataEnd(origin, range.start));
    }
  }
  return true;
}

platform::Status Downloader::WriteRecord(const ResumeRecord& record) const {
  // Written beside the record and renamed over it, so that a full disk or
  // a kill leaves the previous record, never an empty or half one.
  const std::string temporary = plan_.plan_path + ".new";
  platform::Status written = platform::WriteFileBytes(
      env_->files, temporary, SerializeInfoFile(record));
  if (written.ok()) {
    written = env_->files->RenameOver(temporary, plan_.plan_path);
  }
  if (!written.ok()) (void)env_->files->RemoveFile(temporary);
  return written;
}

void Downloader::PlanFresh() {
  // Without a Last-Modified the record says so with a zero time; no clock
  // reading stands in for the file's date.
  plan_.record.last_modified = probe_.dated ? probe_.modified : Time64();
  plan_.record.file_size = static_cast<uint32_t>(probe_.size);
  MakeFreshPartition(static_cast<uint32_t>(probe_.size), plan_.record.ranges);
}

bool Downloader::ReconcileWithOldSegments() {
  SegmentRange* ranges = plan_.record.ranges;
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t length = env_->files->FileLength(plan_.OldSegmentPath(i));
    if (length < 0) length = 0;  // a missing segment file is empty
    const int64_t origin = OriginalStart(ranges, i);
    const int64_t capacity = static_cast<int64_t>(ranges[i].end) - origin + 1;
    // The older client writes its record's starts from the files' lengths,
    // so a start trails its file; a file shorter than that, or longer than
    // its range, is not what its workers wrote: that segment starts again.
    if (length > capacity || origin + length < ranges[i].start) length = 0;
    ranges[i].start = static_cast<int32_t>(origin + length);
  }
  return true;
}

bool Downloader::TakeOverOldLayout() {
  platform::FileSystem* fs = env_->files;
  std::unique_ptr<platform::File> part;
  bool ok =
      fs->Open(plan_.part_path, platform::OpenMode::kCreateTruncate, &part)
          .ok() &&
      part->SetLength(plan_.size).ok();
  std::string buffer(static_cast<size_t>(kReadBackBytes), '\0');
  for (int i = 0; i < kSegmentCount && ok; ++i) {
    const int64_t origin = OriginalStart(plan_.record.ranges, i);
    const int64_t length = plan_.record.ranges[i].start - origin;
    if (length == 0) continue;
    std::unique_ptr<platform::File> in;
    (void)fs->Open(plan_.OldSegmentPath(i), platform::OpenMode::kRead, &in);
    int64_t copied = 0;
    while (ok && in && copied < length) {
      int64_t got = 0;
      ok = in->Read(&buffer[0], std::min(length - copied, kReadBackBytes),
                    &got)
               .ok() &&
           got > 0 && part->WriteAt(origin + copied, buffer.data(), got).ok();
      if (ok) copied += got;
    }
    ok = ok && copied == length;
  }
  if (part != nullptr) ok = part->Close().ok() && ok;
  if (!ok) (void)fs->RemoveFile(plan_.part_path);
  return ok;
}

void Downloader::RemoveOldLayout() {
  (void)env_->files->RemoveFile(plan_.OldRecordPath());
  for (int i = 0; i < kSegmentCount; ++i) {
    (void)env_->files->RemoveFile(plan_.OldSegmentPath(i));
  }
}

}  // namespace vorn
