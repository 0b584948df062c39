// Proxies: where a connection to a download server really goes, from the
// system's own proxy settings (the environment on Linux, the per-user
// Internet settings on Windows), so that the package travels the same way
// as the version file.
#ifndef VORN_PLATFORM_PROXY_H_
#define VORN_PLATFORM_PROXY_H_

#include <cstdint>
#include <string>

namespace vorn::platform {

struct ProxyRoute {
  enum class Kind {
    kDirect,       // connect to the server itself
    kHttpProxy,    // connect to host:port and ask in the absolute form
                   // (http) or for a tunnel with CONNECT (https)
    kUnsupported,  // a proxy is set that cannot be spoken (SOCKS, https,
                   // an unreadable value): no connection is made
  };
  Kind kind = Kind::kDirect;
  std::string host;
  uint16_t port = 0;
  // The whole Proxy-Authorization value ("Basic ..."); empty for none.
  std::string authorization;
  // For the log: where the setting came from and its value, without
  // credentials.
  std::string description;
};

class ProxyResolver {
 public:
  virtual ~ProxyResolver() = default;
  // The route of a connection to `host`:`port` for an http:// URL, or for
  // an https:// one when `secure` (the system's settings may name another
  // proxy for each, as they do for the version file). Safe to call from
  // several threads at once.
  virtual ProxyRoute RouteFor(const std::string& host, uint16_t port,
                              bool secure) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_PROXY_H_
