// The log line of every outcome of the download, in one table.
#ifndef VORN_UPDATE_OUTCOME_LINES_H_
#define VORN_UPDATE_OUTCOME_LINES_H_

#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "platform/status.h"

namespace vorn {

// The line that says why the preparation, the probe or the join ended with
// `outcome`; `status` is the answer's status code, `error` the system's
// reason. Empty for kOk and for outcomes that have segment lines alone.
std::string OutcomeLine(Outcome outcome, int32_t status,
                        const platform::Status& error);

// The line of segment `index` (0 to 3), which ended with `outcome`: the
// segment's number, then what happened to its connection.
std::string SegmentOutcomeLine(int index, Outcome outcome, int32_t status,
                               const platform::Status& error);

}  // namespace vorn

#endif  // VORN_UPDATE_OUTCOME_LINES_H_
