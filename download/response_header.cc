#include "download/downloader.h"

namespace vorn {

// TODO(protocol): not built yet.
ProbeResult Downloader::ParseResponseHeader(const char*, int32_t*, int32_t*,
                                            Time64*) {
  return kProbeFailed;
}

}  // namespace vorn
