#include "download/downloader.h"

namespace vorn {

// TODO(protocol): not built yet.
bool Downloader::ParseUrl(std::string) { return false; }

}  // namespace vorn
