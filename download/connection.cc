#include "download/connection.h"

#include <string>
#include <utility>

namespace vorn {

namespace {

using platform::ProxyRoute;

// A proxy's answer to CONNECT is a head alone; it is short.
constexpr size_t kTunnelReceiveBytes = 1024;

// Receives the head of an answer and parses it. The bytes after the head
// stay in *rest.
StepResult ReadHead(platform::Socket* socket, const HeadBound& bound,
                    size_t chunk, const std::string& where, ResponseHead* head,
                    std::string* rest) {
  std::string buffer;
  size_t head_bytes = 0;
  switch (ReceiveHead(socket, chunk, &buffer, &head_bytes, &bound)) {
    case HeadRead::kComplete:
      break;
    case HeadRead::kTooLong:
      return Failed(Outcome::kHeadTooLong,
                    platform::Status::Error(platform::ErrorKind::kOther, where));
    case HeadRead::kTimedOut:
      return Failed(Outcome::kNoAnswer,
                    platform::Status::Error(platform::ErrorKind::kTimedOut,
                                            where));
    case HeadRead::kEnded:
      return Failed(Outcome::kNoAnswer,
                    platform::Status::Error(platform::ErrorKind::kClosed,
                                            where));
    case HeadRead::kFailed:
      return Failed(Outcome::kNoAnswer, socket->last_error());
  }
  if (!ReadResponseHead(buffer.substr(0, head_bytes), head)) {
    return Failed(Outcome::kBadAnswer,
                  platform::Status::Error(platform::ErrorKind::kOther, where));
  }
  *rest = buffer.substr(head_bytes);
  return StepResult();
}

// Asks the proxy for a tunnel to the server and reads its answer.
StepResult OpenTunnel(platform::Socket* socket, const HttpUrl& url,
                      const ProxyRoute& route, const HeadBound& bound) {
  const std::string proxy = platform::HostPort(route.host, route.port);
  const std::string request = BuildConnectRequest(url, route);
  if (socket->Send(request) != static_cast<int>(request.size())) {
    return Failed(Outcome::kSendFailed, socket->last_error());
  }
  ResponseHead head;
  std::string rest;
  StepResult read =
      ReadHead(socket, bound, kTunnelReceiveBytes, proxy, &head, &rest);
  if (!read.ok()) return read;
  const platform::Status at_proxy =
      platform::Status::Error(platform::ErrorKind::kOther, proxy);
  // A refusal may come with a page of the proxy's (tinyproxy sends one);
  // it is not read.
  if (head.status == 407) {
    return Failed(Outcome::kProxyAuthRequired, at_proxy, head.status);
  }
  if (head.status < 200 || head.status > 299) {
    return Failed(Outcome::kProxyBadGateway, at_proxy, head.status);
  }
  // Bytes after the tunnel's answer would be the server's before it was
  // asked.
  if (!rest.empty()) return Failed(Outcome::kBadAnswer, at_proxy);
  return StepResult();
}

}  // namespace

void Interrupter::Attach(platform::Socket* socket) {
  std::lock_guard<std::mutex> hold(mutex_);
  socket_ = socket;
  if (interrupted_ && socket_ != nullptr) socket_->Interrupt();
}

void Interrupter::Detach(platform::Socket* socket) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (socket_ == socket) socket_ = nullptr;
}

void Interrupter::Interrupt() {
  std::lock_guard<std::mutex> hold(mutex_);
  interrupted_ = true;
  if (socket_ != nullptr) socket_->Interrupt();
}

bool Interrupter::interrupted() {
  std::lock_guard<std::mutex> hold(mutex_);
  return interrupted_;
}

void Interrupter::Reset() {
  std::lock_guard<std::mutex> hold(mutex_);
  interrupted_ = false;
}

void Exchange::DropSocket() {
  if (interrupter != nullptr && socket != nullptr) {
    interrupter->Detach(socket.get());
  }
  socket.reset();
}

platform::Status AtServer(const HttpUrl& url, std::string why) {
  return platform::Status::Error(platform::ErrorKind::kOther,
                                 platform::HostPort(url.host, url.port), 0,
                                 std::move(why));
}

StepResult RunExchange(
    const platform::Env* env, const HttpUrl& url, const ExchangeLimits& limits,
    const std::function<std::string(const ProxyRoute&)>& build,
    Exchange* exchange) {
  const HeadBound bound{env->clock, limits.receive_ms, kHeadTimeoutMs};
  // The request and the answer's head, on the connection made.
  auto ask = [&]() {
    const ProxyRoute& route = exchange->route;
    const bool proxied = route.kind == ProxyRoute::Kind::kHttpProxy;
    platform::Socket* socket = exchange->socket.get();
    const std::string request = build(route);
    if (socket->Send(request) != static_cast<int>(request.size())) {
      return Failed(Outcome::kSendFailed, socket->last_error());
    }
    // Through a plain-http proxy the head may be the proxy's own.
    const bool proxy_answers = proxied && !url.secure;
    const std::string where =
        proxied ? platform::HostPort(route.host, route.port)
                : platform::HostPort(url.host, url.port);
    exchange->body_start.clear();
    StepResult read = ReadHead(socket, bound, limits.receive_bytes, where,
                               &exchange->head, &exchange->body_start);
    if (!read.ok()) return read;
    const int32_t status = exchange->head.status;
    if (proxy_answers && status == 407) {
      return Failed(Outcome::kProxyAuthRequired,
                    platform::Status::Error(platform::ErrorKind::kOther, where),
                    status);
    }
    if (proxy_answers && (status == 502 || status == 504)) {
      return Failed(Outcome::kProxyBadGateway,
                    platform::Status::Error(platform::ErrorKind::kOther, where),
                    status);
    }
    return StepResult();
  };
  if (exchange->socket != nullptr && exchange->reusable &&
      exchange->url == url.text) {
    exchange->reusable = false;
    StepResult again = ask();
    // A kept connection that the server closed while it was idle ends
    // before a head, and one that still held bytes of the answer before
    // gives no head to trust; neither is an answer of the server's to
    // this request, so it goes again on a new connection.
    if (again.outcome != Outcome::kSendFailed &&
        again.outcome != Outcome::kNoAnswer &&
        again.outcome != Outcome::kBadAnswer &&
        again.outcome != Outcome::kHeadTooLong) {
      return again;
    }
  }
  exchange->DropSocket();
  exchange->reusable = false;
  exchange->url = url.text;
  exchange->route = env->proxies == nullptr
                        ? ProxyRoute()
                        : env->proxies->RouteFor(url.host, url.port,
                                                 url.secure);
  const ProxyRoute& route = exchange->route;
  if (route.kind == ProxyRoute::Kind::kUnsupported) {
    return Failed(Outcome::kProxyUnsupported,
                  platform::Status::Error(platform::ErrorKind::kOther, "", 0,
                                          route.description));
  }
  const bool proxied = route.kind == ProxyRoute::Kind::kHttpProxy;
  const std::string& host = proxied ? route.host : url.host;
  const uint16_t port = proxied ? route.port : url.port;
  const Outcome no_connection =
      proxied ? Outcome::kProxyConnectFailed : Outcome::kConnectFailed;
  exchange->socket = env->network->NewSocket();
  platform::Socket* socket = exchange->socket.get();
  if (exchange->interrupter != nullptr && socket != nullptr) {
    exchange->interrupter->Attach(socket);
  }
  if (socket == nullptr) {
    return Failed(no_connection,
                  platform::Status::Error(platform::ErrorKind::kOther,
                                          platform::HostPort(host, port)));
  }
  if (!socket->Connect(host, port, limits.connect_ms)) {
    return Failed(no_connection, socket->last_error());
  }
  socket->SetReceiveTimeout(limits.receive_ms);
  if (url.secure) {
    if (proxied) {
      StepResult tunnel = OpenTunnel(socket, url, route, bound);
      if (!tunnel.ok()) return tunnel;
    }
    if (!socket->StartTls(url.host, limits.connect_ms)) {
      return Failed(Outcome::kTlsFailed, socket->last_error());
    }
  }
  return ask();
}

}  // namespace vorn
