// The proxy of the Linux build: the environment variables, read as libcurl
// reads them for the version file's http:// or https:// URL, so both
// fetches take the same way. They are read at every call (they do not change
// while the process runs, and getenv is safe beside other readers).
#include <cstdlib>

#include "platform/linux/linux_common.h"
#include "platform/proxy_rules.h"

namespace vorn::platform::linux_os {
namespace {

class EnvironmentProxies final : public ProxyResolver {
 public:
  ProxyRoute RouteFor(const std::string& host, uint16_t, bool secure) override {
    EnvironmentValues values;
    for (const char* name : kProxyVariables) {
      const char* value = std::getenv(name);
      if (value != nullptr) values[name] = value;
    }
    return EnvironmentRoute(values, host, secure);
  }
};

}  // namespace

ProxyResolver* DefaultProxies() {
  static EnvironmentProxies proxies;
  return &proxies;
}

}  // namespace vorn::platform::linux_os
