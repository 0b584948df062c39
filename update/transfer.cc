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
      return 0;
    }
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

  if (downloader_.JoinSegments() != JoinResult::kJoined) {
    downloader_.RecordProgress();
    WriteLog(msg::kDownloadFailed);
    return 0;
  }
  WriteLog(msg::kDownloadSucceeded);
  CompleteUpdate();
  return 0;
}

}  // namespace vorn
