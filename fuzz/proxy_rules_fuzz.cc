// The proxy rules on arbitrary settings: environment values, no_proxy
// lists, WinINet proxy and bypass lists, and the error-text scrubber. No
// crash, no description that could hold credentials, none left in a text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/proxy_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Parts separated by NUL: proxy value, exemption list, host, WinINet
  // proxy list, WinINet bypass list, an error text.
  std::vector<std::string> parts(6);
  size_t part = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && part + 1 < parts.size()) {
      ++part;
    } else {
      parts[part].push_back(static_cast<char>(data[i]));
    }
  }
  const std::string& value = parts[0];
  const std::string& host = parts[2];
  using vorn::platform::ProxyRoute;

  // An odd-sized input asks for an https URL's route.
  const bool secure = size % 2 == 1;
  vorn::platform::EnvironmentValues env = {
      {"http_proxy", value}, {"https_proxy", value}, {"no_proxy", parts[1]}};
  ProxyRoute route = vorn::platform::EnvironmentRoute(env, host, secure);
  ProxyRoute win =
      vorn::platform::WinInetRoute("WinINet", parts[3], parts[4], host, secure);
  for (const ProxyRoute* r : {&route, &win}) {
    if (r->description.find('@') != std::string::npos) __builtin_trap();
    if (r->kind != ProxyRoute::Kind::kHttpProxy && !r->host.empty()) {
      __builtin_trap();
    }
  }
  vorn::platform::NoProxyMatches(parts[1], host);
  vorn::platform::WinInetBypassMatches(parts[4], host);

  // Whatever the text, the value's credentials are not left in it.
  std::string scheme, userinfo;
  std::string rest =
      vorn::platform::SplitCredentials(value, &scheme, &userinfo);
  const std::string clean =
      vorn::platform::WithoutCredentials(parts[5] + value, {value});
  if (rest.size() + scheme.size() < value.size() &&
      clean.find(userinfo + "@") != std::string::npos) {
    __builtin_trap();
  }
  return 0;
}
