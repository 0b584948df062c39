// ParseResponseHeader on arbitrary answers: no crash, a known result, and
// the Downloader left in the state each result promises.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/downloader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const vorn::platform::Env& env = vorn::platform::Env::Default();
  vorn::Downloader d(&env);
  if (!d.ParseUrl("http://h/a/b/f.exe")) __builtin_trap();

  std::string text(reinterpret_cast<const char*>(data), size);
  int32_t length = -1;
  int32_t status = -1;
  vorn::Time64 modified;
  vorn::ProbeResult result =
      d.ParseResponseHeader(text.c_str(), &length, &status, &modified);
  switch (result) {
    case vorn::kProbeOk:
      if (length < 0) __builtin_trap();  // lengths past 2 GiB are refused
      if (static_cast<uint32_t>(status) >= 300) __builtin_trap();
      break;
    case vorn::kProbeRedirected:
      if (length != 0) __builtin_trap();
      if (d.referer() != "http://h/a/b/f.exe") __builtin_trap();
      if (d.path().empty() || d.path()[0] != '/') __builtin_trap();
      break;
    case vorn::kProbeServerError:
      if (static_cast<uint32_t>(status) < 500) __builtin_trap();
      break;
    case vorn::kProbeFailed:
      if (length != 0) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
  return 0;
}
