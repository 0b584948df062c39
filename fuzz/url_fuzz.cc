// ParseUrl on arbitrary bytes: no crash, and what it leaves behind holds
// together.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const vorn::platform::Env& env = vorn::platform::Env::Default();
  vorn::Downloader d(&env);
  const std::string before = "http://before:81/x";
  if (!d.ParseUrl(before)) __builtin_trap();

  std::string url(reinterpret_cast<const char*>(data), size);
  bool ok = d.ParseUrl(url);
  if (ok) {
    // A success stores the left-trimmed text, and host, port and path
    // rebuild it.
    if (d.current_url() != vorn::TrimLeft(url)) __builtin_trap();
    if (d.path().empty() || d.path()[0] != '/') __builtin_trap();
    // After the seven bytes of "http://" come the host part and the path:
    // the host starts the host part, and a host part that is the host alone
    // (no ':') means port 80.
    const std::string& current = d.current_url();
    if (current.size() < 7 + d.path().size()) __builtin_trap();
    if (current.compare(current.size() - d.path().size(), d.path().size(),
                        d.path()) != 0) {
      __builtin_trap();
    }
    std::string host_part =
        current.substr(7, current.size() - 7 - d.path().size());
    if (host_part.compare(0, d.host().size(), d.host()) != 0) __builtin_trap();
    if (host_part == d.host() && d.port() != 80) __builtin_trap();
    if (host_part != d.host() && host_part[d.host().size()] != ':') {
      __builtin_trap();
    }
  } else if (d.current_url() != before) {
    __builtin_trap();  // a failure never changes the current URL
  }
  return 0;
}
