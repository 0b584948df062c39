// The transfer: the downloader runs the whole download and answers with
// one value; here it becomes the lines of the log and, when the package
// came, the closing sequence.
#include "download/downloader.h"
#include "update/messages.h"
#include "update/outcome_lines.h"
#include "update/updater.h"

namespace vorn {

void Updater::LogPlanWrite(const platform::Status& written) {
  if (written.ok()) return;
  WriteLog(OutcomeLine(Failed(Outcome::kPlanNotWritten, written)).c_str());
}

int32_t Updater::StartTransfer(const std::string& url) {
  DownloadResult result = downloader_.Download(url, SavePath());
  // A download through a proxy says which one, before anything else of
  // the download is logged; a direct one logs nothing here.
  if (!result.proxy_description.empty()) {
    WriteLog((msg::kUsingProxy + result.proxy_description).c_str());
  }
  if (result.dropped_other) WriteLog(msg::kOtherPlanDropped);
  switch (result.stage) {
    case DownloadStage::kDone:
      // Held from right after the check to the launch.
      if (execute_) HoldPackage();
      WriteLog(msg::kDownloadSucceeded);
      CompleteUpdate();
      return kRunOk;
    case DownloadStage::kPrepare:
      WriteLog(OutcomeLine(result.failure).c_str());
      return kRunFail;
    case DownloadStage::kStopped:
      return kRunInvalid;
    case DownloadStage::kWorkers:
      WriteLog(OutcomeLine(result.failure).c_str());
      LogPlanWrite(result.progress);
      return kRunFail;
    case DownloadStage::kFinish:
      break;
  }
  // The transfer did not give a package: the plan kept for the next run,
  // then why, segment by segment where the bytes are missing.
  LogPlanWrite(result.progress);
  if (result.failure.outcome == Outcome::kIncomplete) {
    for (int i = 0; i < result.segment_count; ++i) {
      if (result.segments[i].ok()) continue;
      WriteLog(SegmentOutcomeLine(i, result.segments[i]).c_str());
    }
  } else {
    WriteLog(OutcomeLine(result.failure).c_str());
  }
  WriteLog(msg::kDownloadFailed);
  return kRunFail;
}

}  // namespace vorn
