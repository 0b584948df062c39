#include "download/downloader.h"

namespace vorn {

Downloader::Downloader(const platform::Env* env) : env_(env) {}

// Closes the probe connection if one is still open; stops no worker and
// touches no file.
Downloader::~Downloader() = default;

}  // namespace vorn
