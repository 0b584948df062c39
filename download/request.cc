#include "download/downloader.h"

namespace vorn {

// TODO(protocol): not built yet.
std::string Downloader::BuildProbeRequest(bool) const { return std::string(); }
std::string Downloader::BuildSegmentRequest(int) const { return std::string(); }

}  // namespace vorn
