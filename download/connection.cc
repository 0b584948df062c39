#include "download/connection.h"

#include <string>

#include "download/response_header.h"

namespace vorn {

namespace {

using platform::ProxyRoute;

// A proxy's answer to CONNECT is a head alone; it is short.
constexpr size_t kTunnelReceiveBytes = 1024;

ConnectionResult Failed(Outcome outcome, const platform::Socket* socket,
                        int32_t status = 0) {
  ConnectionResult result;
  result.outcome = outcome;
  result.status = status;
  if (socket != nullptr) result.error = socket->last_error();
  return result;
}

// Asks the proxy for a tunnel to the server and reads its answer.
ConnectionResult OpenTunnel(platform::Socket* socket, const HttpUrl& url,
                            const ProxyRoute& route, const HeadBound& bound) {
  ConnectionResult sent = SendRequest(socket, BuildConnectRequest(url, route));
  if (sent.outcome != Outcome::kOk) return sent;
  std::string buffer;
  size_t head_bytes = 0;
  switch (ReceiveHead(socket, kTunnelReceiveBytes, &buffer, &head_bytes,
                      &bound)) {
    case HeadRead::kComplete:
      break;
    case HeadRead::kTooLong:
      return Failed(Outcome::kHeadTooLong, nullptr);
    case HeadRead::kEnded:
    case HeadRead::kFailed:
    case HeadRead::kTimedOut:
      return Failed(Outcome::kNoAnswer, socket);
  }
  ResponseHead head;
  if (!ReadResponseHead(buffer.substr(0, head_bytes), &head)) {
    return Failed(Outcome::kBadAnswer, nullptr);
  }
  // A refusal may come with a page of the proxy's (tinyproxy sends one);
  // it is not read.
  if (head.status == 407) {
    return Failed(Outcome::kProxyAuthRequired, nullptr, head.status);
  }
  if (head.status < 200 || head.status > 299) {
    return Failed(Outcome::kProxyBadGateway, nullptr, head.status);
  }
  // Bytes after the tunnel's answer would be the server's before it was
  // asked.
  if (buffer.size() != head_bytes) return Failed(Outcome::kBadAnswer, nullptr);
  return ConnectionResult();
}

}  // namespace

ConnectionResult SendRequest(platform::Socket* socket,
                             const std::string& request) {
  if (socket->Send(request) != static_cast<int>(request.size())) {
    return Failed(Outcome::kSendFailed, socket);
  }
  return ConnectionResult();
}

ConnectionResult OpenConnection(const platform::Env* env, const HttpUrl& url,
                                const ProxyRoute& route, uint32_t connect_ms,
                                uint32_t receive_ms,
                                std::unique_ptr<platform::Socket>* socket) {
  if (route.kind == ProxyRoute::Kind::kUnsupported) {
    return Failed(Outcome::kProxyUnsupported, nullptr);
  }
  const bool proxied = route.kind == ProxyRoute::Kind::kHttpProxy;
  *socket = env->network->NewSocket();
  const Outcome no_connection =
      proxied ? Outcome::kProxyConnectFailed : Outcome::kConnectFailed;
  if (!*socket) return Failed(no_connection, nullptr);
  platform::Socket* s = socket->get();
  if (!s->Connect(proxied ? route.host : url.host,
                  proxied ? route.port : url.port, connect_ms)) {
    return Failed(no_connection, s);
  }
  s->SetReceiveTimeout(receive_ms);
  if (!url.secure) return ConnectionResult();
  if (proxied) {
    const HeadBound bound{env->clock, receive_ms, kHeadTimeoutMs};
    ConnectionResult tunnel = OpenTunnel(s, url, route, bound);
    if (tunnel.outcome != Outcome::kOk) return tunnel;
  }
  if (!s->StartTls(url.host, connect_ms)) return Failed(Outcome::kTlsFailed, s);
  return ConnectionResult();
}

}  // namespace vorn
