// The download preparation: the URL, the save path, the plan file, the
// probe, and the plan reconciled with what an earlier run left (this
// client's part file, or an older client's segment files).
#include "download/downloader.h"

#include <algorithm>

#include "platform/files.h"
#include "download/connection.h"
#include "platform/text.h"

namespace vorn {

namespace {

// More than two lines of at most 1023 bytes and the fields of the ranges a
// plan ever holds can need, even with every byte doubled by CR LF pairs.
constexpr int64_t kMaxInfoFileBytes = 8192;

// The ranges that still need bytes, in file order, overlaps merged (ranges
// that only touch stay apart, for connections of their own): a range
// split off overlaps the one it came from when a run was killed between
// the two writes of the split, and then both need those bytes.
std::vector<SegmentRange> NeededRanges(const std::vector<SegmentRange>& all) {
  std::vector<SegmentRange> needed;
  for (const SegmentRange& range : all) {
    if (range.start <= range.end) needed.push_back(range);
  }
  std::sort(needed.begin(), needed.end(),
            [](const SegmentRange& a, const SegmentRange& b) {
              return a.start < b.start;
            });
  std::vector<SegmentRange> merged;
  for (const SegmentRange& range : needed) {
    if (!merged.empty() && range.start <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

// Free slots after the ranges, so that the ranges split off while the
// download runs have their place in the plan file.
void AddFreeSlots(std::vector<SegmentRange>* ranges) {
  const size_t slots = std::max<size_t>(kPlanSlots,
                                        ranges->size() + kSegmentCount);
  ranges->resize(slots, SegmentRange{0, -1});
}

}  // namespace

Downloader::Downloader(const platform::Env* env) : env_(env) {}

Prepared::Prepared() = default;
Prepared::Prepared(Prepared&&) = default;
Prepared& Prepared::operator=(Prepared&&) = default;
Prepared::~Prepared() = default;

std::string DownloadPlan::OldSegmentPath(int index) const {
  return OldRecordPath() + static_cast<char>('0' + index);
}

int64_t StartFieldOffset(const ResumeRecord& record, int index) {
  // The two lines with their CR CR LF, then the fields as written.
  return static_cast<int64_t>(record.url.size() + 3 + record.save_path.size() +
                              3) +
         StartFieldWithinFields(PlanLayout::kSlots, index);
}

Prepared Downloader::PrepareDownload(const std::string& url_text,
                                     const std::string& save_path) const {
  Prepared prepared;
  DownloadPlan& plan = prepared.plan;
  ProbeAnswer& probe = prepared.probe;
  HttpUrl url;
  // A URL without a scheme is taken as http, and recorded so.
  std::string record_url = url_text;
  UrlError parsed = HttpUrl::Parse(record_url, &url);
  if (parsed == UrlError::kNotHttp &&
      url_text.find("://") == std::string::npos) {
    record_url = "http://" + url_text;
    parsed = HttpUrl::Parse(record_url, &url);
  }
  const platform::Status the_url =
      platform::Status::Error(platform::ErrorKind::kOther, url_text);
  if (parsed == UrlError::kBadPort) {
    prepared.result = Failed(Outcome::kBadPort, the_url);
    return prepared;
  }
  if (parsed != UrlError::kNone) {
    prepared.result = Failed(Outcome::kBadUrl, the_url);
    return prepared;
  }
  plan.save_path = Trim(save_path);
  if (plan.save_path.empty()) {
    prepared.result = Failed(Outcome::kBadSavePath);
    return prepared;
  }
  plan.plan_path = plan.save_path + ".plan";
  plan.part_path = plan.save_path + ".part";

  // This client's plan, or else the record an older client left.
  std::string raw;
  bool old_layout = false;
  PlanLayout layout = PlanLayout::k64;
  bool have_file = platform::ReadFileBytes(env_->files, plan.plan_path,
                                           kMaxInfoFileBytes, &raw)
                       .ok();
  if (!have_file) {
    have_file = platform::ReadFileBytes(env_->files, plan.OldRecordPath(),
                                        kMaxInfoFileBytes, &raw)
                    .ok();
    old_layout = have_file;
  }
  // An empty or unreadable record (a full disk, a line cut short) is no
  // record: the download is planned afresh.
  const bool have_record =
      have_file && ReadInfoFile(raw, &plan.record, &layout);

  prepared.result = ProbeSize(url, 0, &probe, &prepared.answer);
  if (!prepared.result.ok()) return prepared;
  // A body that ends with the connection looks the same when it is cut:
  // only an announced size or digest tells the two apart.
  if (probe.until_close && expected_size_ < 0 && expected_sha256_.empty()) {
    prepared.result = Failed(Outcome::kBadAnswer, AtServer(probe.url),
                             prepared.result.status);
    return prepared;
  }
  // A size the probe did not learn is checked once the body has told it.
  if (expected_size_ >= 0 && probe.size >= 0 && probe.size != expected_size_) {
    prepared.result = Failed(
        Outcome::kWrongSize,
        AtServer(probe.url, "SIZE " + std::to_string(expected_size_) +
                                ", server " + std::to_string(probe.size)));
    return prepared;
  }
  plan.size = probe.size;
  plan.ranged = probe.ranges;

  // Only one instance runs at a time, so a record for another URL is
  // nobody's download in progress: it is a plan that an older release
  // left, and it would block every later one. It goes, with its bytes, and
  // the new package is planned.
  plan.dropped_other = have_record && plan.record.url != record_url;
  // Only four-part mode resumes; one connection writes the part file afresh
  // from its first byte (so a chunked body, or one that ends with the
  // connection, is always fetched whole).
  bool resume = plan.ranged && have_record && !plan.dropped_other &&
                MayResume(raw, layout, old_layout, &prepared);
  if (resume && old_layout) resume = plan.took_over = TakeOverOldLayout(plan);
  if (!resume) {
    plan.record.url = record_url;
    plan.record.save_path = plan.save_path;
    PlanFresh(probe, &plan);
    // Whatever an earlier attempt left in the part file does not belong to
    // this plan.
    (void)env_->files->RemoveFile(plan.part_path);
  }
  plan.resumed = resume;
  if (plan.ranged) {
    std::vector<SegmentRange>& ranges = plan.record.ranges;
    if (resume) {
      ranges = NeededRanges(ranges);
      int64_t needed = 0;
      for (const SegmentRange& range : ranges) {
        needed += range.end - range.start + 1;
      }
      // At least one, even with nothing left: the finish follows the
      // workers. Those without a range of their own stand by to split one
      // that comes slowly, as in a fresh run.
      plan.connections = needed > 0 ? kSegmentCount : 1;
      // Each connection starts on a range of its own, in turn.
      plan.first_owner.clear();
      for (size_t i = 0; i < ranges.size(); ++i) {
        plan.first_owner.push_back(
            i < static_cast<size_t>(plan.connections) ? static_cast<int>(i)
                                                      : -1);
      }
      AddFreeSlots(&ranges);
    }
    // The probe's answer brings the file from byte 100 on: it is the first
    // range's when one starts there, else it is not read.
    for (size_t i = 0; i < ranges.size() && prepared.answer; ++i) {
      if (ranges[i].start == 100 && ranges[i].end >= 100) {
        prepared.answer_range = static_cast<int>(i);
      }
    }
  } else if (prepared.answer) {
    // Without ranges the probe's answer is the whole file.
    prepared.answer_range = 0;
  }
  if (prepared.answer_range < 0) prepared.answer.reset();

  // A package the disk cannot hold fails now, before anything is fetched,
  // as a write of the part file would fail later.
  platform::Status room = CheckRoom(plan);
  if (!room.ok()) {
    prepared.result = Failed(Outcome::kWriteFailed, room);
    return prepared;
  }

  if (!plan.ranged) {
    // A plan kept now would describe bytes that the one connection is
    // about to overwrite.
    (void)env_->files->RemoveFile(plan.plan_path);
  } else {
    // Four-part mode keeps its plan on disk before any worker starts, so an
    // interrupted transfer (even a killed process) resumes on the next run;
    // a download without its plan on disk does not start.
    platform::Status written = WriteRecord(plan);
    if (!written.ok()) {
      prepared.result = Failed(Outcome::kPlanNotWritten, written);
      return prepared;
    }
  }
  // An older client's files go once what replaces them is on disk (or
  // nothing of them is kept).
  RemoveOldLayout(plan);
  return prepared;
}

bool Downloader::MayResume(const std::string& raw, PlanLayout layout,
                           bool old_layout, Prepared* prepared) const {
  const ProbeAnswer& probe = prepared->probe;
  const ResumeRecord& record = prepared->plan.record;
  // Another date (older or newer) or size means another file: joining its
  // bytes with the kept ones would make a mix of two files. Without a date
  // nothing tells the files apart but the announced digest, which the
  // finish checks: only then may the bytes be kept.
  //
  // With a digest and size announced, this client's plan made for that
  // digest resumes whatever the server's dates and ETag say now (mirrors
  // behind one name each have their own): the finish proves the bytes.
  const bool same_digest = record.sha256 == HexEncode(expected_sha256_);
  if (Pinned() && !old_layout) {
    if (!same_digest) return false;
  } else {
    if (probe.dated) {
      if (record.last_modified != probe.modified) return false;
    } else if (record.last_modified != Time64() || expected_sha256_.empty()) {
      return false;
    }
    // A package republished with its size and date kept is still another
    // file when the announced digest or the server's ETag differ from
    // those the plan was made for. An older client's record carries
    // neither.
    if (!old_layout && (!same_digest || record.etag != probe.etag)) {
      return false;
    }
  }
  if (record.file_size != probe.size) return false;
  // A record that the text-mode reading garbled, or whose files do not fit
  // it, cannot be trusted: planning afresh loses at most the bytes already
  // fetched, resuming from it would corrupt the package.
  if (raw != SerializeInfoFile(record, layout)) return false;
  if (layout == PlanLayout::kSlots) {
    for (const SegmentRange& range : record.ranges) {
      if (range.start <= range.end &&
          (range.start < 0 || range.end >= probe.size)) {
        return false;
      }
    }
  } else {
    // The earlier layouts part the file in four: every start lies in its
    // range or one past it (complete), as their workers wrote it.
    std::vector<SegmentRange> fresh;
    MakeFreshPartition(probe.size, fresh);
    for (int i = 0; i < kSegmentCount; ++i) {
      const SegmentRange& range = record.ranges[i];
      if (range.end != fresh[i].end ||
          range.start < OriginalStart(record.ranges, i) ||
          range.start > range.end + 1) {
        return false;
      }
    }
  }
  if (old_layout) return ReconcileWithOldSegments(&prepared->plan);
  return ReconcileWithPartFile(prepared);
}

bool Downloader::ReconcileWithPartFile(Prepared* prepared) const {
  DownloadPlan& plan = prepared->plan;
  const int64_t size = prepared->probe.size;
  // The part file has the package's size from the first write on; without
  // it (or at another size) no byte the plan counts is there.
  if (env_->files->FileLength(plan.part_path) != size) return false;
  // The connections move their starts in place without a flush, so after
  // a power cut a start may count bytes that never reached the disk; where
  // the file system shows a hole between the needed ranges, the bytes from
  // there on are fetched again.
  std::unique_ptr<platform::File> part;
  if (!env_->files->Open(plan.part_path, platform::OpenMode::kRead, &part)
           .ok()) {
    return false;
  }
  std::vector<SegmentRange> needed = NeededRanges(plan.record.ranges);
  std::vector<SegmentRange> kept;
  int64_t on_disk_from = 0;
  for (size_t i = 0; i <= needed.size(); ++i) {
    const bool last = i == needed.size();
    SegmentRange range = last ? SegmentRange{size, size - 1} : needed[i];
    if (range.start > on_disk_from) {
      const int64_t data_end = part->DataEnd(on_disk_from, range.start);
      if (data_end < range.start) {
        if (last) {
          kept.push_back({data_end, size - 1});
        } else {
          range.start = data_end;
        }
      }
    }
    if (last) break;
    kept.push_back(range);
    on_disk_from = range.end + 1;
  }
  plan.record.ranges = kept;
  return true;
}

platform::Status Downloader::WriteRecord(const DownloadPlan& plan) const {
  // Written beside the plan and renamed over it, so that a full disk or
  // a kill leaves the previous plan, never an empty or half one.
  const std::string temporary = plan.plan_path + ".new";
  platform::Status written = platform::WriteFileBytes(
      env_->files, temporary, SerializeInfoFile(plan.record));
  if (written.ok()) {
    written = env_->files->RenameOver(temporary, plan.plan_path);
  }
  if (!written.ok()) (void)env_->files->RemoveFile(temporary);
  return written;
}

void Downloader::PlanFresh(const ProbeAnswer& probe, DownloadPlan* plan) const {
  // Without a Last-Modified the record says so with a zero time; no clock
  // reading stands in for the file's date.
  plan->record.last_modified = probe.dated ? probe.modified : Time64();
  plan->record.file_size = probe.size;
  plan->record.sha256 = HexEncode(expected_sha256_);
  plan->record.etag = probe.etag;
  if (plan->ranged) {
    PlanRanges(plan);
  } else {
    plan->record.ranges.assign(1, SegmentRange{0, probe.size - 1});
    plan->connections = 1;
  }
}

void Downloader::PlanRanges(DownloadPlan* plan) const {
  std::vector<SegmentRange>& ranges = plan->record.ranges;
  const int64_t size = plan->size;
  ranges.clear();
  if (ReadsProbeAnswer(size)) {
    // The probe's answer brings the file from byte 100 on: connection 0
    // reads it, and connection 1 fetches the first 100 bytes before
    // anything else, so that the digest can follow the bytes as they come.
    // The others stand by to split the probe's range should it come
    // slowly.
    ranges.push_back({0, std::min<int64_t>(99, size - 1)});
    plan->first_owner = {1};
    if (size > 100) {
      ranges.push_back({100, size - 1});
      plan->first_owner.push_back(0);
    }
    plan->connections = ranges.size() > 1 ? kSegmentCount : 1;
  } else {
    // A quarter of the file each, asked for with its end: the probe was
    // closed after its head.
    MakeFreshPartition(size, ranges);
    plan->first_owner = {0, 1, 2, 3};
    plan->connections = kSegmentCount;
  }
  AddFreeSlots(&ranges);
}

platform::Status Downloader::CheckRoom(const DownloadPlan& plan) const {
  // The part file is sparse where the system allows, so only the bytes it
  // still lacks take room: all of them for a fresh one.
  int64_t missing = plan.size;
  if (plan.resumed) {
    missing = 0;
    for (const SegmentRange& range : plan.record.ranges) {
      if (range.end >= range.start) missing += range.end - range.start + 1;
    }
  }
  // -1: the system cannot tell, and the writes will say.
  const int64_t available = env_->files->FreeSpace(plan.part_path);
  if (available < 0 || missing <= available) return platform::Status();
  return platform::Status::Error(platform::ErrorKind::kDiskFull, plan.part_path,
                                 0,
                                 std::to_string(missing) + " bytes needed, " +
                                     std::to_string(available) + " free");
}

bool Downloader::ReconcileWithOldSegments(DownloadPlan* plan) const {
  std::vector<SegmentRange>& ranges = plan->record.ranges;
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t length = env_->files->FileLength(plan->OldSegmentPath(i));
    if (length < 0) length = 0;  // a missing segment file is empty
    const int64_t origin = OriginalStart(ranges, i);
    const int64_t capacity = ranges[i].end - origin + 1;
    // The older client writes its record's starts from the files' lengths,
    // so a start trails its file; a file shorter than that, or longer than
    // its range, is not what its workers wrote: that segment starts again.
    if (length > capacity || origin + length < ranges[i].start) length = 0;
    ranges[i].start = origin + length;
  }
  return true;
}

bool Downloader::TakeOverOldLayout(const DownloadPlan& plan) const {
  platform::FileSystem* fs = env_->files;
  std::unique_ptr<platform::File> part;
  bool ok = fs->Open(plan.part_path, platform::OpenMode::kCreateTruncate, &part)
                .ok() &&
            part->SetLength(plan.size).ok();
  std::string buffer(static_cast<size_t>(kReadBackBytes), '\0');
  for (int i = 0; i < kSegmentCount && ok; ++i) {
    const int64_t origin = OriginalStart(plan.record.ranges, i);
    const int64_t length = plan.record.ranges[i].start - origin;
    if (length == 0) continue;
    std::unique_ptr<platform::File> in;
    (void)fs->Open(plan.OldSegmentPath(i), platform::OpenMode::kRead, &in);
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
  if (!ok) (void)fs->RemoveFile(plan.part_path);
  return ok;
}

void Downloader::RemoveOldLayout(const DownloadPlan& plan) const {
  (void)env_->files->RemoveFile(plan.OldRecordPath());
  for (int i = 0; i < kSegmentCount; ++i) {
    (void)env_->files->RemoveFile(plan.OldSegmentPath(i));
  }
}

}  // namespace vorn
