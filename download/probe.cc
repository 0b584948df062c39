// Downloader::ProbeSize: learns size, range support and modification time.
#include <cstring>
#include <string>

#include "download/downloader.h"

namespace vorn {

// Every attempt opens a new connection (the previous one is closed first)
// to the present host and port. A connection that cannot be made leaves
// the answer empty, which reads as a failure. Redirects are followed by
// the parse changing host, port, path and referer; at most kMaxRedirects of
// them, so a redirect loop cannot hold the run.
int Downloader::ProbeSize(int method) {
  const bool head = method != 0;
  int redirects = 0;
  for (;;) {
    if (probe_socket_) probe_socket_->Close();
    probe_socket_ = env_->network->NewSocket();

    std::string text;
    if (probe_socket_ &&
        probe_socket_->Connect(host_, port_, connect_timeout_ms_)) {
      probe_socket_->SetReceiveTimeout(receive_timeout_ms_);
      probe_socket_->Send(BuildProbeRequest(head));
      text = ReceiveProbeText();
    }

    int32_t length = 0;
    int32_t status = 0;
    ProbeResult result =
        ParseResponseHeader(text.c_str(), &length, &status, &server_time_);
    switch (result) {
      case kProbeOk:
        // Sizes and offsets are 32-bit signed: a file of 2 GiB or more
        // cannot be planned, so it fails here instead of wrapping.
        if (length > kMaxFileBytes - 100) return kProbeFailed;
        // The 100 bytes the request skipped are added whatever the status:
        // a server that ignored the range (200) thus reports 100 too many,
        // and gets the single-connection mode.
        server_file_size_ = static_cast<uint32_t>(length) + 100u;
        range_supported_ = status == 206 ? 1 : 0;
        return kProbeOk;
      case kProbeServerError:
        return kProbeServerError;
      case kProbeRedirected:
        if (++redirects > kMaxRedirects) return kProbeFailed;
        continue;
      default:
        return kProbeFailed;
    }
  }
}

// Receives until the stream ends, a receive fails or times out, or a piece
// begins with a 0 byte. Each piece is kept up to its first 0 byte and
// followed by CR LF. Receiving stops once the text holds kMaxProbeTextBytes,
// which always covers the header.
std::string Downloader::ReceiveProbeText() {
  std::string text;
  char buffer[kReceiveBufferBytes];
  for (;;) {
    std::memset(buffer, 0, sizeof(buffer));
    probe_socket_->Receive(buffer, kReceiveBufferBytes - 1);
    if (buffer[0] == 0) break;
    text += buffer;  // up to the first 0; the last byte is always 0
    text += "\r\n";
    if (text.size() >= kMaxProbeTextBytes) break;
  }
  return text;
}

}  // namespace vorn
