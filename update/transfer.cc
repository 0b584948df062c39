// The transfer: start the workers, wait for them, and have their segment
// files joined into the package file. The join either replaces the package
// with a complete, checked file or leaves it untouched (see
// Downloader::JoinSegments); a join that does not happen is logged as a
// failed download and the plan is kept for the next run.
#include "download/downloader.h"
#include "update/messages.h"
#include "update/updater.h"

namespace vorn {

int32_t Updater::StartTransfer() {
  *downloader_.worker_counter() = 0;
  int count = downloader_.range_supported() != 0 ? kSegmentCount : 1;
  for (int i = 0; i < count; ++i) {
    downloader_.stop_flags()[i] = 0;
    thread_handles_[i] =
        env_->threads->StartThread(SegmentThreadProc, &downloader_);
    if (thread_handles_[i] == nullptr) {
      // The workers already started share the Downloader, which the
      // process's exit would destroy under them: let them finish first.
      // Nothing is joined; the info file written before them lets the next
      // run resume.
      if (i > 0) env_->threads->WaitAll(thread_handles_, i);
      WriteLog(msg::kThreadStartFailed);
      downloader_.RecordProgress();
      return kRunFail;
    }
  }
  return WaitAndMerge();
}

namespace {

// Every this often while the workers run, the info file is brought up to
// what the segment files hold.
constexpr uint32_t kProgressIntervalMs = 1000;

const char* SegmentFailureText(SegmentResult result) {
  switch (result) {
    case SegmentResult::kConnectFailed:
      return msg::kSegmentConnectFailed;
    case SegmentResult::kWrongAnswer:
      return msg::kSegmentWrongAnswer;
    case SegmentResult::kWriteFailed:
      return msg::kSegmentWriteFailed;
    case SegmentResult::kProxyConnectFailed:
      return msg::kSegmentProxyUnreachable;
    case SegmentResult::kProxyError:
      return msg::kSegmentProxyError;
    case SegmentResult::kNotRun:
    case SegmentResult::kBroken:
    case SegmentResult::kComplete:
      break;
  }
  return msg::kSegmentBroken;
}

}  // namespace

bool Updater::WaitForWorkers(bool four_part) {
  if (!four_part) return env_->threads->WaitOne(thread_handles_[0]);
  // Without a time-out in all: the pauses only let the record follow the
  // files, so that a run killed now resumes from where the files end.
  for (;;) {
    platform::WaitResult result = env_->threads->WaitAllFor(
        thread_handles_, kSegmentCount, kProgressIntervalMs);
    if (result == platform::WaitResult::kEnded) return true;
    if (result == platform::WaitResult::kFailed) {
      return env_->threads->WaitAll(thread_handles_, kSegmentCount);
    }
    downloader_.SaveProgress();
  }
}

void Updater::LogTransferFailure(JoinResult join, int count) {
  if (join == JoinResult::kIncomplete) {
    for (int i = 0; i < count; ++i) {
      SegmentResult result = downloader_.segment_result(i);
      if (result == SegmentResult::kComplete) continue;
      WriteLog((std::string(msg::kSegmentPrefix) + std::to_string(i + 1) +
                SegmentFailureText(result))
                   .c_str());
    }
  } else if (join == JoinResult::kCopyFailed) {
    WriteLog(msg::kJoinFailed);
  } else if (join == JoinResult::kReplaceFailed) {
    WriteLog(msg::kReplaceFailed);
  } else if (join == JoinResult::kDigestMismatch) {
    WriteLog(msg::kDigestMismatch);
  }
  WriteLog(msg::kDownloadFailed);
}

int32_t Updater::WaitAndMerge() {
  const bool four_part = downloader_.range_supported() != 0;
  bool waited = WaitForWorkers(four_part);
  if (downloader_.stop_flags()[0] != 0) return -1;
  if (!waited) return kRunFail;

  JoinResult join = downloader_.JoinSegments();
  if (join != JoinResult::kJoined) {
    // Wrong bytes leave nothing to resume: their files are gone already.
    if (join != JoinResult::kDigestMismatch) downloader_.RecordProgress();
    LogTransferFailure(join, four_part ? kSegmentCount : 1);
    return kRunFail;
  }
  WriteLog(msg::kDownloadSucceeded);
  CompleteUpdate();
  return kRunOk;
}

}  // namespace vorn
