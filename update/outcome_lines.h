// The log line of every outcome of the download, in one table.
#ifndef VORN_UPDATE_OUTCOME_LINES_H_
#define VORN_UPDATE_OUTCOME_LINES_H_

#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "platform/status.h"

namespace vorn {

// The line that says why the preparation, the probe, the workers or the
// finish failed with `result`: the outcome's fixed text (with the answer's
// status code where the row has one), then the detail of its status.
// Empty for kOk and for outcomes that have segment lines alone.
std::string OutcomeLine(const StepResult& result);

// The line of segment `index` (0 to 3), which ended with `result`: the
// segment's number, then what happened to its connection, then the detail.
std::string SegmentOutcomeLine(int index, const StepResult& result);

// What follows a failure line's fixed text: "：", the object of `error`
// (a path, host:port) and "：" with the reason, in words of its own for the
// common kinds (磁盘空间不足, 连接超时...) and else the system's text. Empty
// for success. One line, whatever the system's text held.
std::string FailureDetail(const platform::Status& error);

// `line` with the detail of `error` after it; a fixed text that ends in
// "：" already takes the object without a second one.
std::string WithDetail(const std::string& line, const platform::Status& error);

// The line before retry `retry` of segment `index`: why the attempt failed,
// as its segment line says it, then "，N秒后重试（第K次）".
std::string RetryLine(int index, int retry, const StepResult& why,
                      uint32_t pause_ms);

}  // namespace vorn

#endif  // VORN_UPDATE_OUTCOME_LINES_H_
