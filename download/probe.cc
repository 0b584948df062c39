#include "download/downloader.h"

namespace vorn {

// TODO(protocol): not built yet.
int Downloader::ProbeSize(int) { return kProbeFailed; }
std::string Downloader::ReceiveProbeText() { return std::string(); }

}  // namespace vorn
