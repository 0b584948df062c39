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

ProbeResult Fail(StepResult* failure, Outcome outcome,
                 const ProbeAnswer& answer, int32_t status) {
  *failure = Failed(outcome, AtServer(answer.url), status);
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
// a total that agrees with its Content-Length (or come chunked); a
// whole-file answer carries one Content-Length, or comes chunked or ends
// with the connection, its size then unknown; neither may apply a content
// coding or a transfer coding but chunked, nor be chunked with a length.
ProbeResult ReadProbeAnswer(const ResponseHead& head, ProbeAnswer* answer,
                            HttpUrl* next, StepResult* failure) {
  const int32_t code = head.status;
  if (code >= 300 && code <= 399 && code != 304) {
    std::string target;
    bool several = false;
    if (!FieldValue(head, "location", &target, &several) || several ||
        answer->url.Resolve(target, next) != UrlError::kNone) {
      return Fail(failure, Outcome::kBadRedirect, *answer, code);
    }
    // Leaving TLS halfway would give up its protection for the rest.
    if (answer->url.secure && !next->secure) {
      return Fail(failure, Outcome::kInsecureRedirect, *answer, code);
    }
    return kProbeRedirected;
  }
  if (code >= 500) {
    Fail(failure, Outcome::kServerError, *answer, code);
    return kProbeServerError;
  }

  int64_t size = 0;
  bool ranges = false;
  bool until_close = false;
  if (code == 416) {
    // A file of 100 bytes or less has nothing from offset 100 on; its size
    // comes with the refusal.
    if (!ReadUnsatisfiedRange(head, &size) || size > 100) {
      return Fail(failure, Outcome::kRefused, *answer, code);
    }
  } else if (code >= 400) {
    return Fail(failure, Outcome::kRefused, *answer, code);
  } else if (code != 206 && !IsWholeFileStatus(code)) {
    return Fail(failure, Outcome::kUnexpectedStatus, *answer, code);
  } else {
    int64_t length = 0;
    const Framing framing = ReadFraming(head, &length);
    // A whole file may come chunked or end with the connection: then the
    // body alone tells its size (-1 here). A range needs no length of its
    // own when it comes chunked, as its Content-Range holds the total.
    if (framing == Framing::kInvalid ||
        (code == 206 && framing == Framing::kClose)) {
      return Fail(failure, Outcome::kBadAnswer, *answer, code);
    }
    size = framing == Framing::kLength ? length : -1;
    until_close = framing == Framing::kClose;
    if (code == 206) {
      int64_t first = 0, last = 0, total = 0;
      if (!ReadContentRange(head, &first, &last, &total) || first != 100 ||
          last != total - 1 ||
          (framing == Framing::kLength && length != total - 100)) {
        return Fail(failure, Outcome::kBadAnswer, *answer, code);
      }
      size = total;
      ranges = true;
    }
  }
  if (size == 0) return Fail(failure, Outcome::kEmptyPackage, *answer, code);
  answer->size = size;
  answer->ranges = ranges;
  answer->until_close = until_close;

  std::string date_text;
  answer->dated = FieldValue(head, "last-modified", &date_text) &&
                  ParseHttpDate(LowerAscii(date_text).c_str(),
                                &answer->modified);
  if (!answer->dated) answer->modified = Time64();
  answer->etag.clear();
  FieldValue(head, "etag", &answer->etag);
  return kProbeOk;
}

// Every attempt is one exchange with the present URL's server, or the proxy
// the system names for it, and reads the answer's head alone. At most
// kMaxRedirects redirects are followed.
StepResult Downloader::ProbeSize(const HttpUrl& url, int method,
                                 ProbeAnswer* answer,
                                 std::unique_ptr<Exchange>* open) const {
  *answer = ProbeAnswer();
  answer->url = url;
  const bool head = method != 0;
  const ExchangeLimits limits{connect_timeout_ms_, receive_timeout_ms_,
                              kProbeReceiveBytes};
  for (int redirects = 0;;) {
    Exchange exchange;
    StepResult exchanged = RunExchange(
        env_, answer->url, limits,
        [&](const platform::ProxyRoute& route) {
          return BuildProbeRequest(answer->url, answer->referer, head, route);
        },
        &exchange);
    if (exchange.route.kind != platform::ProxyRoute::Kind::kDirect &&
        answer->proxy_description.empty()) {
      answer->proxy_description = exchange.route.description;
    }
    if (!exchanged.ok()) return exchanged;
    HttpUrl next;
    StepResult failure;
    switch (ReadProbeAnswer(exchange.head, answer, &next, &failure)) {
      case kProbeOk:
        failure = StepResult();
        failure.status = exchange.head.status;
        // The body that follows (the file from offset 100, or all of it)
        // is kept for the download when the caller takes it and it is the
        // package's bytes to read: the whole file, or a package of at most
        // kOneConnectionBytes. Otherwise closing now stops the server from
        // pushing the rest of the file into a connection nobody reads.
        if (open != nullptr && !head && exchange.head.status != 416 &&
            (!answer->ranges || ReadsProbeAnswer(answer->size))) {
          exchange.answered = true;
          *open = std::make_unique<Exchange>(std::move(exchange));
        } else {
          exchange.socket->Close();
        }
        return failure;
      case kProbeServerError:
      case kProbeFailed:
        exchange.socket->Close();
        return failure;
      case kProbeRedirected:
        break;
    }
    exchange.socket->Close();
    if (++redirects > kMaxRedirects) {
      return Failed(Outcome::kTooManyRedirects, AtServer(answer->url),
                    exchange.head.status);
    }
    // The URL that answered with the redirect is the referer of what comes
    // next.
    answer->referer = answer->url.text;
    answer->url = next;
  }
}

}  // namespace vorn
