// Downloader::ParseUrl: splits an http URL into host, path and port.
#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "download/response_header.h"
#include "platform/text.h"

namespace vorn {

// Only plain http is spoken; the scheme is compared lower-cased, so HTTP://
// in capitals is accepted and every other scheme (https included) refused.
// The host part is cut at its first ':' without any further examination:
// user information and bracketed addresses are not recognised. The port is
// read with atoi semantics and truncated to 16 bits (70000 gives 4464, -1
// gives 65535, 12ab gives 12, an empty port 0).
//
// A text with a control byte or a blank is refused: it would put bytes of
// the server's or the version file's choosing into a request.
//
// An empty text (after the left trim) changes nothing; any later failure
// leaves host and path empty and the port 0, but never touches the current
// URL. Only success replaces the current URL.
bool Downloader::ParseUrl(std::string url) {
  // Leading white space goes; anything that would end or split a request
  // line (a control byte, a blank, trailing ones included) is refused.
  std::string text = TrimLeft(url);
  if (text.empty()) return false;

  host_.clear();
  path_.clear();
  port_ = 0;
  if (!IsRequestSafe(text)) return false;

  const std::string kSeparator = "://";
  int scheme_end = Find(text, kSeparator);
  if (scheme_end < 0) return false;
  int scheme_length = scheme_end + static_cast<int>(kSeparator.size());
  if (LowerAscii(Left(text, scheme_length)) != "http://") return false;

  std::string rest = Mid(text, scheme_length);
  int slash = Find(rest, "/");
  if (slash < 0) return false;

  std::string host_part = Left(rest, slash);
  std::string path = Mid(rest, slash);
  std::string host;
  uint16_t port = 80;
  int colon = Find(host_part, ":");
  if (colon < 0) {
    host = host_part;
  } else {
    host = Left(host_part, colon);
    port = static_cast<uint16_t>(
        static_cast<uint32_t>(Atoi(Mid(host_part, colon + 1))) & 0xFFFFu);
  }

  host_ = host;
  path_ = path;
  port_ = port;
  current_url_ = text;
  return true;
}

}  // namespace vorn
