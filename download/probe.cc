// Downloader::ProbeSize: learns size, range support and modification time.
#include <string>

#include "download/downloader.h"
#include "download/response_header.h"

namespace vorn {

// Every attempt opens a new connection (the previous one is closed first)
// to the present host and port, or to the proxy the system names for them.
// A connection that cannot be made, or an answer whose header never
// completes, fails the probe. Redirects are followed by the parse changing
// host, port, path and referer; at most kMaxRedirects of them, so a redirect
// loop cannot hold the run. Through a proxy, its own refusals (407, and 502
// or 504 when it cannot reach the server) fail the probe; a proxy that is
// not an HTTP one fails it before any connection.
int Downloader::ProbeSize(int method) {
  const bool head = method != 0;
  int redirects = 0;
  proxy_description_.clear();
  for (;;) {
    if (probe_socket_) probe_socket_->Close();
    probe_socket_.reset();
    const platform::ProxyRoute route = CurrentRoute();
    const bool proxied = route.kind != platform::ProxyRoute::Kind::kDirect;
    if (proxied && proxy_description_.empty()) {
      proxy_description_ = route.description;
    }
    if (route.kind == platform::ProxyRoute::Kind::kUnsupported) {
      probe_failure_ = ProbeFailure::kProxyUnsupported;
      server_time_ = Time64::Now(env_->clock);
      return kProbeFailed;
    }
    probe_socket_ = env_->network->NewSocket();

    if (!probe_socket_ ||
        !probe_socket_->Connect(proxied ? route.host : host_,
                                proxied ? route.port : port_,
                                connect_timeout_ms_)) {
      probe_failure_ = proxied ? ProbeFailure::kProxyConnectFailed
                               : ProbeFailure::kConnectFailed;
      server_time_ = Time64::Now(env_->clock);
      return kProbeFailed;
    }
    probe_socket_->SetReceiveTimeout(receive_timeout_ms_);
    probe_socket_->Send(BuildProbeRequest(head, route));
    std::string text;
    if (!ReceiveProbeHeader(&text)) {
      probe_failure_ = ProbeFailure::kNoAnswer;
      server_time_ = Time64::Now(env_->clock);
      return kProbeFailed;
    }

    int32_t length = 0;
    int32_t status = 0;
    ProbeResult result =
        ParseResponseHeader(text.c_str(), &length, &status, &server_time_);
    probe_status_ = status;
    if (proxied && status == 407) {
      probe_failure_ = ProbeFailure::kProxyAuthRequired;
      return kProbeFailed;
    }
    if (proxied && (status == 502 || status == 504)) {
      probe_failure_ = ProbeFailure::kProxyBadGateway;
      return kProbeFailed;
    }
    switch (result) {
      case kProbeOk:
        // Sizes and offsets are 32-bit signed: a file of 2 GiB or more
        // cannot be planned, so it fails here instead of wrapping.
        if (length > kMaxFileBytes - 100) {
          probe_failure_ = ProbeFailure::kTooLarge;
          return kProbeFailed;
        }
        // The 100 bytes the request skipped are added whatever the status:
        // a server that ignored the range (200) thus reports 100 too many,
        // and gets the single-connection mode.
        server_file_size_ = static_cast<uint32_t>(length) + 100u;
        range_supported_ = status == 206 ? 1 : 0;
        return kProbeOk;
      case kProbeServerError:
        return kProbeServerError;
      case kProbeRedirected:
        if (++redirects > kMaxRedirects) {
          probe_failure_ = ProbeFailure::kTooManyRedirects;
          return kProbeFailed;
        }
        continue;
      default:
        return kProbeFailed;
    }
  }
}

// Receives the answer's header, however the network splits it: until its
// blank line is in hand (true, `*header` holds it through that line) or
// the stream ends, a receive fails or times out, or kMaxHeaderBytes came
// without one (false). Nothing of the body is kept; the connection is
// closed by the caller.
bool Downloader::ReceiveProbeHeader(std::string* header) {
  std::string received;
  char buffer[kReceiveBufferBytes];
  for (;;) {
    int n = probe_socket_->Receive(buffer, kReceiveBufferBytes);
    if (n <= 0) return false;
    received.append(buffer, static_cast<size_t>(n));
    bool found = false;
    int32_t length =
        ScanHeader(received.data(), static_cast<int>(received.size()), &found);
    if (found) {
      *header = received.substr(0, static_cast<size_t>(length));
      return true;
    }
    if (received.size() >= static_cast<size_t>(kMaxHeaderBytes)) return false;
  }
}

}  // namespace vorn
