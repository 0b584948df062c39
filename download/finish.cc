// The download as one call, and its end: the workers started and waited
// for, then the part file made the package by one rename, or, after a
// transfer that did not complete, the plan rewritten with the progress.
//
// The package appears whole or not at all. The part file is renamed over
// the package file only when every segment reported all its bytes, the part
// file has the package's size and, with an announced SHA-256, its bytes have
// that digest; only then is the plan deleted. Anything that fails on the way
// leaves the package file untouched and the part file and plan in place for
// the next run, except a digest that does not match: those bytes are not
// the package, and a resume would only keep them.
#include <algorithm>
#include <utility>

#include "download/connection.h"
#include "download/downloader.h"
#include "platform/files.h"

namespace vorn {

namespace {

// What a worker thread is handed: its downloader, the shared transfer and
// its index.
struct SegmentJob {
  const Downloader* downloader = nullptr;
  Transfer* transfer = nullptr;
  int index = 0;
};

uint32_t SegmentThreadProc(void* arg) {
  auto* job = static_cast<SegmentJob*>(arg);
  job->downloader->DownloadSegment(job->transfer, job->index);
  return 0;
}

// Whether every range has all its bytes in the part file.
bool SegmentsComplete(const Transfer& transfer) {
  if (!transfer.plan.ranged) return transfer.results[0].ok();
  for (const SegmentRange& range : transfer.plan.record.ranges) {
    if (range.start <= range.end) return false;
  }
  return true;
}

}  // namespace

Transfer::Transfer() = default;
Transfer::~Transfer() = default;

bool Downloader::RunWorkers(Transfer* transfer, StepResult* failure) {
  const int count = transfer->plan.SegmentCount();
  const size_t ranges = transfer->plan.record.ranges.size();
  transfer->owner.assign(ranges, -1);
  transfer->reach.assign(ranges, 0);
  transfer->failed.assign(ranges, false);
  transfer->since_ms.assign(ranges, 0);
  transfer->since_start.assign(ranges, 0);
  transfer->received.assign(ranges, 0);
  transfer->asked_ms.assign(ranges, 0);
  transfer->asked_source.assign(ranges, -1);
  const std::vector<int>& first = transfer->plan.first_owner;
  for (size_t i = 0; i < ranges && i < first.size(); ++i) {
    if (first[i] < count) transfer->owner[i] = first[i];
  }
  // The range the probe's answer brings is connection 0's.
  if (transfer->answer != nullptr && transfer->answer_range >= 0 &&
      static_cast<size_t>(transfer->answer_range) < ranges) {
    transfer->owner[transfer->answer_range] = 0;
  }
  SegmentJob jobs[kSegmentCount];
  platform::ThreadHandle handles[kSegmentCount] = {};
  for (int i = 0; i < count; ++i) {
    stop_[i].store(0);
    transfer->results[i] = Failed(Outcome::kNotRun);
    jobs[i] = {this, transfer, i};
    handles[i] = env_->threads->StartThread(SegmentThreadProc, &jobs[i]);
    if (handles[i] == nullptr) {
      // The workers already started share the transfer, which goes when
      // this returns: they finish first.
      if (i > 0) env_->threads->WaitAll(handles, i);
      *failure = Failed(Outcome::kThreadStartFailed);
      return false;
    }
  }
  // Without a time-out: every connection has its own bounds, and each
  // worker keeps its start in the plan file as it writes, so a run killed
  // while waiting resumes from the bytes on disk.
  const bool waited = count == 1 ? env_->threads->WaitOne(handles[0])
                                 : env_->threads->WaitAll(handles, count);
  if (!waited) {
    *failure = Failed(Outcome::kWaitFailed);
    return false;
  }
  return true;
}

DownloadResult Downloader::Download(const std::string& url,
                                    const std::string& save_path) {
  DownloadResult result;
  Prepared prepared = PrepareDownload(url, save_path);
  result.proxy_description = prepared.probe.proxy_description;
  result.dropped_other = prepared.plan.dropped_other;
  if (!prepared.result.ok()) {
    result.stage = DownloadStage::kPrepare;
    result.failure = prepared.result;
    return result;
  }

  Transfer transfer;
  transfer.probe = std::move(prepared.probe);
  transfer.plan = std::move(prepared.plan);
  transfer.answer = std::move(prepared.answer);
  transfer.answer_range = prepared.answer_range;
  transfer.sources.push_back({transfer.probe.url, transfer.probe.referer});
  // Mirrors only where the announced size and digest prove their bytes,
  // and only for ranges.
  if (Pinned() && transfer.plan.ranged) {
    for (const std::string& text : mirrors_) {
      HttpUrl mirror;
      if (HttpUrl::Parse(text, &mirror) == UrlError::kNone) {
        transfer.sources.push_back({mirror, std::string()});
      }
    }
  }
  // With a digest announced, worker 0 hashes the bytes it writes from the
  // first one on; the finish reads back only the rest.
  if (!expected_sha256_.empty() && env_->crypto != nullptr) {
    transfer.digest = env_->crypto->NewSha256();
  }
  // After a transfer that did not give a package, the plan keeps every
  // start where its worker stopped, so the next run resumes there.
  auto keep_progress = [&]() {
    if (transfer.plan.ranged) result.progress = WriteRecord(transfer.plan);
  };
  if (!RunWorkers(&transfer, &result.failure)) {
    result.stage = DownloadStage::kWorkers;
    keep_progress();
    return result;
  }
  if (stop_[0].load() != 0) {
    result.stage = DownloadStage::kStopped;
    return result;
  }
  // Segments answered from different files (mirrors with their own dates
  // behind one name, or a file replaced meanwhile): what they wrote cannot
  // be joined, so the whole file comes again through one connection, whose
  // one answer is one file.
  if (transfer.plan.ranged &&
      std::any_of(transfer.results, transfer.results + kSegmentCount,
                  [](const StepResult& r) {
                    return r.outcome == Outcome::kOtherFile;
                  })) {
    if (observer_.one_answer) observer_.one_answer(transfer);
    result.one_answer = true;
    // The plan would describe bytes that the one connection overwrites.
    (void)env_->files->RemoveFile(transfer.plan.plan_path);
    transfer.plan.ranged = false;
    transfer.plan.connections = 1;
    transfer.plan.first_owner.clear();
    transfer.plan.record.ranges.assign(
        1, SegmentRange{0, transfer.plan.size - 1});
    transfer.answer.reset();
    transfer.one_answer = true;
    if (transfer.digest) {
      transfer.digest = env_->crypto->NewSha256();
      transfer.hashed = 0;
    }
    if (!RunWorkers(&transfer, &result.failure)) {
      result.stage = DownloadStage::kWorkers;
      return result;
    }
    if (stop_[0].load() != 0) {
      result.stage = DownloadStage::kStopped;
      return result;
    }
  }
  StepResult finished = FinishPackage(&transfer);
  if (!finished.ok()) {
    result.stage = DownloadStage::kFinish;
    result.failure = finished;
    result.segment_count = transfer.plan.SegmentCount();
    std::copy(transfer.results, transfer.results + result.segment_count,
              result.segments);
    // Wrong bytes leave nothing to resume: their files are gone already.
    if (finished.outcome != Outcome::kDigestMismatch) keep_progress();
  }
  return result;
}

StepResult Downloader::FinishPackage(Transfer* transfer) const {
  const DownloadPlan& plan = transfer->plan;
  platform::FileSystem* fs = env_->files;
  if (!SegmentsComplete(*transfer) ||
      fs->FileLength(plan.part_path) != plan.size) {
    return Failed(Outcome::kIncomplete);
  }
  if (!expected_sha256_.empty()) {
    // A digest that cannot be taken is no match, but says nothing against
    // the bytes: they stay for the next run.
    const StepResult no_digest = Failed(
        Outcome::kReadBackFailed,
        platform::Status::Error(platform::ErrorKind::kOther, "SHA-256"));
    if (!transfer->digest) return no_digest;
    // What worker 0 did not hash as it wrote is read back once.
    std::unique_ptr<platform::File> in;
    platform::Status read =
        fs->Open(plan.part_path, platform::OpenMode::kRead, &in);
    if (!read.ok()) return Failed(Outcome::kReadBackFailed, read);
    std::string buffer(static_cast<size_t>(kReadBackBytes), '\0');
    while (transfer->hashed < plan.size) {
      int64_t got = 0;
      read = in->ReadAt(transfer->hashed, &buffer[0],
                        std::min(plan.size - transfer->hashed, kReadBackBytes),
                        &got);
      if (read.ok() && got == 0) {
        // The file is shorter than when the transfer ended.
        read = platform::Status::Error(platform::ErrorKind::kOther,
                                       plan.part_path);
      }
      if (!read.ok()) return Failed(Outcome::kReadBackFailed, read);
      transfer->digest->Update(buffer.data(), static_cast<size_t>(got));
      transfer->hashed += got;
    }
    (void)in->Close();
    const std::string sum = transfer->digest->Final();
    if (sum.empty()) return no_digest;
    if (sum != expected_sha256_) {
      RemovePartialFiles(plan);
      return Failed(Outcome::kDigestMismatch,
                    platform::Status::Error(platform::ErrorKind::kOther,
                                            plan.save_path));
    }
  }
  platform::Status replaced = fs->RenameOver(plan.part_path, plan.save_path);
  if (!replaced.ok()) return Failed(Outcome::kReplaceFailed, replaced);
  RemovePartialFiles(plan);
  return StepResult();
}

void Downloader::RemovePartialFiles(const DownloadPlan& plan) const {
  // The plan goes first: a kill between the two steps then leaves a part
  // file without a plan, which the next run discards, instead of a plan
  // whose bytes are gone. One connection keeps no plan.
  if (plan.ranged) (void)env_->files->RemoveFile(plan.plan_path);
  (void)env_->files->RemoveFile(plan.part_path);
}

}  // namespace vorn
