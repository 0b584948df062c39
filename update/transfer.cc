// The transfer: the downloader runs the whole download and answers with
// one value; here it becomes the lines of the log and, when the package
// came, the closing sequence.
#include <mutex>

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
  // A download through a proxy says which one, before anything else of
  // the download is logged (a direct one logs nothing here); then whether
  // a plan for another URL was dropped. Once: before the first retry line
  // when there is one, else when the download is over.
  bool opened = false;
  auto open_lines = [&](const std::string& proxy_description,
                        bool dropped_other) {
    if (opened) return;
    opened = true;
    if (!proxy_description.empty()) {
      WriteLog((msg::kUsingProxy + proxy_description).c_str());
    }
    if (dropped_other) WriteLog(msg::kOtherPlanDropped);
  };
  // Each retry is logged as it is decided, from the worker's thread; the
  // lock keeps two workers' lines whole and apart.
  std::mutex lines;
  Downloader::Observer observer;
  observer.retrying = [&](const Transfer& transfer, int index, int retry,
                          const StepResult& why, uint32_t pause_ms) {
    std::lock_guard<std::mutex> hold(lines);
    open_lines(transfer.probe.proxy_description, transfer.plan.dropped_other);
    WriteLog(RetryLine(index, retry, why, pause_ms).c_str());
  };
  // The segments answered from different files: the line names the server
  // where it happened.
  observer.one_answer = [&](const Transfer& transfer) {
    std::lock_guard<std::mutex> hold(lines);
    open_lines(transfer.probe.proxy_description, transfer.plan.dropped_other);
    for (const StepResult& r : transfer.results) {
      if (r.outcome != Outcome::kOtherFile) continue;
      WriteLog(WithDetail(msg::kOneAnswer, r.error).c_str());
      return;
    }
  };
  // A source set aside: its URL, then why, as the failure named it.
  observer.source_set_aside = [&](const Transfer& transfer,
                                  const std::string& source,
                                  const StepResult& why) {
    std::lock_guard<std::mutex> hold(lines);
    open_lines(transfer.probe.proxy_description, transfer.plan.dropped_other);
    // Why: the system's reason, else what the answer was.
    const platform::Status& e = why.error;
    std::string reason = e.os_text();
    if (reason.empty()) {
      switch (why.outcome) {
        case Outcome::kWrongAnswer:
        case Outcome::kWrongSize:
        case Outcome::kBadAnswer:
        case Outcome::kHeadTooLong:
        case Outcome::kUnexpectedStatus:
          // The segment line's text without its "段：".
          reason = msg::kSegmentWrongAnswer + 4;
          break;
        default:
          if (why.status != 0) reason = "HTTP " + std::to_string(why.status);
      }
    }
    WriteLog(WithDetail(msg::kSourceSetAside,
                        platform::Status::Error(
                            e.ok() ? platform::ErrorKind::kOther : e.kind(),
                            source, e.os_code(), reason))
                 .c_str());
  };
  downloader_.SetObserver(observer);
  DownloadResult result = downloader_.Download(url, SavePath());
  downloader_.SetObserver({});
  open_lines(result.proxy_description, result.dropped_other);
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
