// HttpUrl on arbitrary bytes: no crash, and what a parse or a resolution
// gives holds together.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/http_url.h"
#include "download/response_header.h"

namespace {

void CheckUrl(const vorn::HttpUrl& url) {
  if (url.host.empty() || url.port == 0) __builtin_trap();
  if (url.target.empty() || url.target[0] != '/') __builtin_trap();
  if (url.target.find('#') != std::string::npos) __builtin_trap();
  // Nothing that would split a request line goes into one.
  if (!vorn::IsRequestSafe(url.target) || !vorn::IsRequestSafe(url.HostField()))
    __builtin_trap();
  // The text reads back as the same URL.
  vorn::HttpUrl again;
  if (vorn::HttpUrl::Parse(url.text, &again) != vorn::UrlError::kNone ||
      again.host != url.host || again.port != url.port ||
      again.target != url.target || again.secure != url.secure) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  vorn::HttpUrl url;
  url.port = 7;
  if (vorn::HttpUrl::Parse(text, &url) == vorn::UrlError::kNone) {
    CheckUrl(url);
  } else if (url.port != 7) {
    __builtin_trap();  // a failure leaves the value alone
  }
  vorn::HttpUrl base;
  if (vorn::HttpUrl::Parse("http://base.example:8080/a/b/c?q", &base) !=
      vorn::UrlError::kNone) {
    __builtin_trap();
  }
  vorn::HttpUrl resolved;
  if (base.Resolve(text, &resolved) == vorn::UrlError::kNone) {
    CheckUrl(resolved);
  }
  return 0;
}
