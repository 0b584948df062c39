// One exchange of the downloader, the probe's or a segment's: the route to
// the server or its proxy, the connection, the tunnel and TLS for https,
// the request, and the answer's head read and parsed once. The callers
// only read the answer.
#ifndef VORN_DOWNLOAD_CONNECTION_H_
#define VORN_DOWNLOAD_CONNECTION_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "download/downloader.h"
#include "download/response_header.h"

namespace vorn {

// What one exchange brought: the open connection, the answer's head, and
// the body bytes that came with it.
struct Exchange {
  Exchange() = default;
  Exchange(Exchange&&) = default;  // before any interrupter is given
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() { DropSocket(); }
  // Closes the connection, and tells the interrupter first.
  void DropSocket();

  Interrupter* interrupter = nullptr;  // null: nobody ends it from outside
  std::unique_ptr<platform::Socket> socket;
  platform::ProxyRoute route;
  ResponseHead head;
  std::string body_start;
  // The answer before was read to its end and the server keeps the
  // connection: the next request may go on it.
  bool reusable = false;
  // The head is here and its body not yet read (the probe's answer).
  bool answered = false;
  // The URL whose server the connection goes to.
  std::string url;
};

// The time-outs of one exchange and how much it receives at a time.
struct ExchangeLimits {
  uint32_t connect_ms = kConnectTimeoutMs;
  uint32_t receive_ms = kReceiveTimeoutMs;
  size_t receive_bytes = 4096;
};

// Runs one exchange for `url`: the route the system names for it, the
// connection (to the server or the proxy), for https through a proxy the
// tunnel, TLS, then `request` (made for the route by `build`), and the
// answer's head. Through a plain-http proxy the proxy's own refusals (407,
// and 502 or 504) are the proxy's failures. Every failure names the server
// or the proxy as host:port; kOk leaves `*exchange` ready for the body.
// A reusable exchange sends the request on its connection first; when the
// server has closed it meanwhile, a new connection is made.
StepResult RunExchange(const platform::Env* env, const HttpUrl& url,
                       const ExchangeLimits& limits,
                       const std::function<std::string(
                           const platform::ProxyRoute&)>& build,
                       Exchange* exchange);

// The status that names `url`'s server (host:port) as the object of a
// failure the server's answer caused.
platform::Status AtServer(const HttpUrl& url, std::string why = {});

}  // namespace vorn

#endif  // VORN_DOWNLOAD_CONNECTION_H_
