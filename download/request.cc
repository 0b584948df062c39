// The requests the downloader sends, byte for byte.
#include <string>

#include "download/downloader.h"
#include "platform/sockets.h"

namespace vorn {

namespace {

using platform::ProxyRoute;

// Whether the request goes to an HTTP proxy in its absolute form: plain
// http through a proxy. An https URL goes through a tunnel instead, and its
// requests inside it are the direct ones.
bool AbsoluteForm(const HttpUrl& url, const ProxyRoute& route) {
  return route.kind == ProxyRoute::Kind::kHttpProxy && !url.secure;
}

// Request line and the lines every request carries. The Host line names
// the port only when it is not the scheme's default.
std::string CommonLines(const char* method, const HttpUrl& url,
                        const std::string& referer, const ProxyRoute& route) {
  const bool absolute = AbsoluteForm(url, route);
  std::string out;
  out += method;
  if (absolute) out += "http://" + url.HostField();
  out += url.target;
  out += " HTTP/1.1\r\n";
  out += "Host: " + url.HostField() + "\r\n";
  if (absolute && !route.authorization.empty()) {
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
std::string BuildProbeRequest(const HttpUrl& url, const std::string& referer,
                              bool head, const ProxyRoute& route) {
  std::string out = CommonLines(head ? "HEAD " : "GET ", url, referer, route);
  out += "Connection: close\r\n";
  out += "Range: bytes=100-\r\n";
  out += "\r\n";
  return out;
}

// A segment asks for its own range, from its present start to its inclusive
// end, when the server serves ranges; otherwise for the whole file.
std::string BuildSegmentRequest(const HttpUrl& url, const std::string& referer,
                                const SegmentRange* range,
                                const ProxyRoute& route) {
  std::string out = CommonLines("GET ", url, referer, route);
  if (range != nullptr) {
    out += "Range: bytes=" + std::to_string(range->start) + "-" +
           std::to_string(range->end) + "\r\n";
  }
  out += "\r\n";
  return out;
}

std::string BuildConnectRequest(const HttpUrl& url, const ProxyRoute& route) {
  // The authority always names its port here, whatever the scheme.
  const std::string authority = platform::HostPort(url.host, url.port);
  std::string out = "CONNECT " + authority + " HTTP/1.1\r\n";
  out += "Host: " + authority + "\r\n";
  if (!route.authorization.empty()) {
    out += "Proxy-Authorization: " + route.authorization + "\r\n";
  }
  out += "\r\n";
  return out;
}

}  // namespace vorn
