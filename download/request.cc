// The two requests the downloader sends, byte for byte.
#include <cstdio>
#include <string>

#include "download/downloader.h"

namespace vorn {

namespace {

using platform::ProxyRoute;

// Request line and the lines every request carries. The path goes out
// exactly as held (not escaped); the Host line never names the port.
// Through an HTTP proxy the request line holds the absolute URL (the port
// written only when it is not 80) and the proxy's credentials, if any,
// come right after the Host line.
std::string CommonLines(const char* method, const std::string& path,
                        const std::string& host, uint16_t port,
                        const std::string& referer, const ProxyRoute& route) {
  const bool proxied = route.kind == ProxyRoute::Kind::kHttpProxy;
  std::string out;
  out += method;
  if (proxied) {
    out += "http://" + host;
    if (port != 80) out += ":" + std::to_string(port);
  }
  out += path;
  out += " HTTP/1.1\r\n";
  out += "Host: " + host + "\r\n";
  if (proxied && !route.authorization.empty()) {
    out += "Proxy-Authorization: " + route.authorization + "\r\n";
  }
  out += "Accept: */*\r\n";
  out += "Pragma: no-cache\r\n";
  out += "Cache-Control: no-cache\r\n";
  if (!referer.empty()) out += "Referer: " + referer + "\r\n";
  return out;
}

}  // namespace

// Asks for the bytes from offset 100 on: a server that serves ranges
// answers 206 with a length 100 short of the file's size.
std::string Downloader::BuildProbeRequest(bool head,
                                          const ProxyRoute& route) const {
  std::string out = CommonLines(head ? "HEAD " : "GET ", path_, host_, port_,
                                referer_, route);
  out += "Connection: close\r\n";
  out += "Range: bytes=100-\r\n";
  out += "\r\n";
  return out;
}

// A segment asks for its own range, from its present start to its inclusive
// end, only when the server serves ranges; otherwise for the whole file.
std::string Downloader::BuildSegmentRequest(int index,
                                            const ProxyRoute& route) const {
  std::string out = CommonLines("GET ", path_, host_, port_, referer_, route);
  if (range_supported_ != 0 && index >= 0 && index < kSegmentCount) {
    char line[64];
    std::snprintf(line, sizeof(line), "Range: bytes=%d-%d\r\n",
                  static_cast<int>(record_.ranges[index].start),
                  static_cast<int>(record_.ranges[index].end));
    out += line;
  }
  out += "\r\n";
  return out;
}

platform::ProxyRoute Downloader::CurrentRoute() const {
  if (env_->proxies == nullptr) return ProxyRoute();
  return env_->proxies->RouteFor(host_, port_);
}

}  // namespace vorn
