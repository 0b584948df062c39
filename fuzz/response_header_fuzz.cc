// The probe's reading of arbitrary answers: no crash, a known result, and
// the answer in the state each result promises.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "download/response_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  vorn::ResponseHead head;
  if (!vorn::ReadResponseHead(text, &head)) return 0;
  vorn::ProbeAnswer answer;
  if (vorn::HttpUrl::Parse("https://h/a/b/f.exe", &answer.url) !=
      vorn::UrlError::kNone) {
    __builtin_trap();
  }
  vorn::HttpUrl next;
  vorn::StepResult failure;
  switch (vorn::ReadProbeAnswer(head, &answer, &next, &failure)) {
    case vorn::kProbeOk:
      // Empty files are refused; only a whole file leaves its size to its
      // body (-1), and a body ending with the connection always does.
      if (answer.size == -1
              ? answer.ranges
              : answer.size <= 0 || answer.size > vorn::kMaxBodyBytes ||
                    answer.until_close) {
        __builtin_trap();
      }
      if (head.status >= 300) __builtin_trap();
      break;
    case vorn::kProbeRedirected:
      // Never down to plain http, never a target that is not a path.
      if (!next.secure || next.host.empty()) __builtin_trap();
      if (next.target.empty() || next.target[0] != '/') __builtin_trap();
      if (next.target.find('#') != std::string::npos) __builtin_trap();
      if (!vorn::IsRequestSafe(next.target)) __builtin_trap();
      break;
    case vorn::kProbeServerError:
      if (head.status < 500) __builtin_trap();
      break;
    case vorn::kProbeFailed:
      if (failure.ok()) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
  return 0;
}
