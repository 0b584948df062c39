// The transfer: start the workers, wait for them, and have the part file
// they filled made the package. That either replaces the package with a
// complete, checked file or leaves it untouched (see
// Downloader::JoinSegments); a join that does not happen is logged as a
// failed download and the plan is kept for the next run.
#include "download/downloader.h"
#include "update/messages.h"
#include "update/outcome_lines.h"
#include "update/updater.h"

namespace vorn {

int32_t Updater::StartTransfer() {
  const int count = downloader_.plan().SegmentCount();
  for (int i = 0; i < count; ++i) {
    downloader_.slot(i).stop.store(0);
    thread_handles_[i] =
        env_->threads->StartThread(SegmentThreadProc, downloader_.job(i));
    if (thread_handles_[i] == nullptr) {
      // The workers already started share the Downloader, which the
      // process's exit would destroy under them: let them finish first.
      // Nothing is joined; the plan written before them lets the next run
      // resume.
      if (i > 0) env_->threads->WaitAll(thread_handles_, i);
      WriteLog(msg::kThreadStartFailed);
      LogPlanWrite(downloader_.RecordProgress());
      return kRunFail;
    }
  }
  return WaitAndMerge();
}

bool Updater::WaitForWorkers(bool four_part) {
  // Without a time-out: every connection has its own bounds, and each
  // worker keeps its start in the plan file as it writes, so a run killed
  // while waiting resumes from the bytes on disk.
  return four_part ? env_->threads->WaitAll(thread_handles_, kSegmentCount)
                   : env_->threads->WaitOne(thread_handles_[0]);
}

void Updater::LogPlanWrite(const platform::Status& written) {
  if (written.ok()) return;
  WriteLog(OutcomeLine(Outcome::kPlanNotWritten, 0, written).c_str());
}

void Updater::LogTransferFailure(Outcome join) {
  if (join == Outcome::kIncomplete) {
    for (int i = 0; i < downloader_.plan().SegmentCount(); ++i) {
      const SegmentSlot& slot = downloader_.slot(i);
      if (slot.outcome == Outcome::kOk) continue;
      WriteLog(
          SegmentOutcomeLine(i, slot.outcome, slot.status, slot.error).c_str());
    }
  } else {
    WriteLog(OutcomeLine(join, 0, downloader_.error()).c_str());
  }
  WriteLog(msg::kDownloadFailed);
}

int32_t Updater::WaitAndMerge() {
  const bool four_part = downloader_.plan().ranged;
  bool waited = WaitForWorkers(four_part);
  if (downloader_.slot(0).stop.load() != 0) return -1;
  if (!waited) return kRunFail;

  Outcome join = downloader_.JoinSegments();
  if (join != Outcome::kOk) {
    // Wrong bytes leave nothing to resume: their files are gone already.
    if (join != Outcome::kDigestMismatch) {
      LogPlanWrite(downloader_.RecordProgress());
    }
    LogTransferFailure(join);
    return kRunFail;
  }
  // Held from right after the check to the launch.
  if (execute_) HoldPackage();
  WriteLog(msg::kDownloadSucceeded);
  CompleteUpdate();
  return kRunOk;
}

}  // namespace vorn
