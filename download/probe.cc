// Downloader::ProbeSize: learns the size, range support and validators of
// the file, following redirects.
#include <memory>
#include <string>

#include "download/connection.h"
#include "download/downloader.h"
#include "download/http_date.h"
#include "download/response_header.h"
#include "platform/text.h"

namespace vorn {

namespace {

// The probe reads its answer's head alone, in pieces of this size.
constexpr size_t kProbeReceiveBytes = 4096;

ProbeResult Fail(ProbeAnswer* answer, Outcome outcome) {
  answer->outcome = outcome;
  return kProbeFailed;
}

}  // namespace

// The status is the three digits after the version: 300-399 redirect (304
// aside: nothing was asked conditionally), 500 and above server error, 416
// with the total of a small file (the probe skipped its first 100 bytes)
// the size of that file, other 400-499 refusal, 206 or a whole-file 2xx
// success, anything else unexpected.
//
// A success is believed only when the answer frames itself consistently:
// a 206 must name the range the probe asked for (bytes 100 to the end) and
// a total that agrees with its Content-Length; a whole-file answer must
// carry one Content-Length; neither may apply a transfer or content coding.
ProbeResult ReadProbeAnswer(const ResponseHead& head, ProbeAnswer* answer,
                            HttpUrl* next) {
  const int32_t code = head.status;
  answer->status = code;
  if (code >= 300 && code <= 399 && code != 304) {
    std::string target;
    bool several = false;
    if (!FieldValue(head, "location", &target, &several) || several ||
        answer->url.Resolve(target, next) != UrlError::kNone) {
      return Fail(answer, Outcome::kBadRedirect);
    }
    // Leaving TLS halfway would give up its protection for the rest.
    if (answer->url.secure && !next->secure) {
      return Fail(answer, Outcome::kInsecureRedirect);
    }
    return kProbeRedirected;
  }
  if (code >= 500) {
    answer->outcome = Outcome::kServerError;
    return kProbeServerError;
  }

  int64_t size = 0;
  bool ranges = false;
  if (code == 416) {
    // A file of 100 bytes or less has nothing from offset 100 on; its size
    // comes with the refusal.
    if (!ReadUnsatisfiedRange(head, &size) || size > 100) {
      return Fail(answer, Outcome::kRefused);
    }
  } else if (code >= 400) {
    return Fail(answer, Outcome::kRefused);
  } else if (code != 206 && !IsWholeFileStatus(code)) {
    return Fail(answer, Outcome::kUnexpectedStatus);
  } else {
    // Lengths past what a download can hold are read in full, so that a
    // file too large says so instead of reading as a bad answer.
    constexpr int64_t kAnyLength = int64_t{1} << 60;
    int64_t length = 0;
    if (BodyIsCoded(head) ||
        ReadContentLength(head, &length, kAnyLength) != LengthField::kValid) {
      return Fail(answer, Outcome::kBadAnswer);
    }
    size = length;
    if (code == 206) {
      int64_t first = 0, last = 0, total = 0;
      if (!ReadContentRange(head, &first, &last, &total, kAnyLength) ||
          first != 100 ||
          last != total - 1 || length != total - 100) {
        return Fail(answer, Outcome::kBadAnswer);
      }
      size = total;
      ranges = true;
    }
  }
  // Sizes and offsets are 32-bit signed: a file of 2 GiB or more cannot be
  // planned, so it fails here instead of wrapping.
  if (size > kMaxFileBytes) return Fail(answer, Outcome::kTooLarge);
  if (size == 0) return Fail(answer, Outcome::kEmptyPackage);
  answer->size = size;
  answer->ranges = ranges;

  std::string date_text;
  answer->dated = FieldValue(head, "last-modified", &date_text) &&
                  ParseHttpDate(LowerAscii(date_text).c_str(),
                                &answer->modified);
  if (!answer->dated) answer->modified = Time64();
  answer->etag.clear();
  FieldValue(head, "etag", &answer->etag);
  answer->outcome = Outcome::kOk;
  return kProbeOk;
}

// Every attempt opens a new connection to the present URL's server, or to
// the proxy the system names for it, and reads the answer's head alone.
// At most kMaxRedirects redirects are followed; through a proxy, its own
// refusals (407, and 502 or 504 when it cannot reach the server) fail the
// probe.
ProbeAnswer Downloader::ProbeSize(const HttpUrl& url, int method) const {
  ProbeAnswer answer;
  answer.url = url;
  const bool head = method != 0;
  for (int redirects = 0;;) {
    const platform::ProxyRoute route =
        env_->proxies == nullptr
            ? platform::ProxyRoute()
            : env_->proxies->RouteFor(answer.url.host, answer.url.port,
                                      answer.url.secure);
    const bool proxied = route.kind != platform::ProxyRoute::Kind::kDirect;
    if (proxied && answer.proxy_description.empty()) {
      answer.proxy_description = route.description;
    }
    std::unique_ptr<platform::Socket> socket;
    ConnectionResult opened =
        OpenConnection(env_, answer.url, route, connect_timeout_ms_,
                       receive_timeout_ms_, &socket);
    if (opened.outcome == Outcome::kOk) {
      opened = SendRequest(
          socket.get(),
          BuildProbeRequest(answer.url, answer.referer, head, route));
    }
    if (opened.outcome != Outcome::kOk) {
      answer.outcome = opened.outcome;
      answer.status = opened.status;
      answer.error = opened.error;
      return answer;
    }
    std::string buffer;
    size_t head_bytes = 0;
    const HeadBound bound{env_->clock, receive_timeout_ms_, kHeadTimeoutMs};
    HeadRead read = ReceiveHead(socket.get(), kProbeReceiveBytes, &buffer,
                                &head_bytes, &bound);
    // The probe asked for the whole file from offset 100 and reads only its
    // head; closing now stops the server from pushing the rest of the file
    // into a connection nobody reads.
    if (read != HeadRead::kComplete) {
      answer.outcome =
          read == HeadRead::kTooLong ? Outcome::kHeadTooLong : Outcome::kNoAnswer;
      answer.error = socket->last_error();
      return answer;
    }
    socket->Close();
    ResponseHead response;
    if (!ReadResponseHead(buffer.substr(0, head_bytes), &response)) {
      answer.outcome = Outcome::kBadAnswer;
      return answer;
    }
    answer.status = response.status;
    if (route.kind == platform::ProxyRoute::Kind::kHttpProxy &&
        !answer.url.secure) {
      if (response.status == 407) {
        answer.outcome = Outcome::kProxyAuthRequired;
        return answer;
      }
      if (response.status == 502 || response.status == 504) {
        answer.outcome = Outcome::kProxyBadGateway;
        return answer;
      }
    }
    HttpUrl next;
    if (ReadProbeAnswer(response, &answer, &next) != kProbeRedirected) {
      return answer;
    }
    if (++redirects > kMaxRedirects) {
      answer.outcome = Outcome::kTooManyRedirects;
      return answer;
    }
    // The URL that answered with the redirect is the referer of what comes
    // next.
    answer.referer = answer.url.text;
    answer.url = next;
  }
}

}  // namespace vorn
