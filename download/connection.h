// One connection of the downloader, the probe's or a segment's: to the
// server or its proxy, through a tunnel and under TLS for https.
#ifndef VORN_DOWNLOAD_CONNECTION_H_
#define VORN_DOWNLOAD_CONNECTION_H_

#include <cstdint>
#include <memory>

#include "download/downloader.h"

namespace vorn {

struct ConnectionResult {
  Outcome outcome = Outcome::kOk;
  int32_t status = 0;  // the proxy's answer to a tunnel request
  platform::Status error;
};

// Connects for `url` along `route`, with the given time-outs, and leaves
// `*socket` ready for the request. Failures: kProxyUnsupported,
// kConnectFailed or kProxyConnectFailed, kSendFailed, and for a tunnel the
// proxy's refusals (kProxyAuthRequired, kProxyBadGateway) or kNoAnswer, and
// kTlsFailed.
ConnectionResult OpenConnection(const platform::Env* env, const HttpUrl& url,
                                const platform::ProxyRoute& route,
                                uint32_t connect_ms, uint32_t receive_ms,
                                std::unique_ptr<platform::Socket>* socket);

// Sends all of `request`: kOk or kSendFailed with the socket's reason.
ConnectionResult SendRequest(platform::Socket* socket,
                             const std::string& request);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_CONNECTION_H_
