// The segment workers: each fetches one range (or, without range support,
// the whole file) on a thread of its own into a segment file of its own.
//
// A worker writes only body bytes that belong to its segment: it reads the
// whole response head first (however the network splits it), believes the
// answer only when it names exactly what was asked for (the range, the
// planned total, the probe's Last-Modified and ETag, no coding of the body,
// a length that agrees), stops when its range is complete (a keep-alive
// server would otherwise hold it until the server's own time-out), and
// never writes past the range. A failed connection, a wrong answer, a
// stall or a failed write ends the segment early with what it holds kept;
// the join then sees the segment as incomplete. Each worker leaves its
// outcome in its own slot.
//
// Body bytes move in blocks of kSegmentBlockBytes: a worker fills its one
// buffer from the socket and writes it out whole, so a gigabyte costs a few
// thousand system calls per connection, not a million.
#include <algorithm>
#include <memory>

#include "download/connection.h"
#include "download/downloader.h"
#include "download/http_date.h"
#include "download/response_header.h"
#include "platform/files.h"
#include "platform/text.h"

namespace vorn {

namespace {

// Whether the answer is of the very file the probe saw: a changed file
// (a rolling deploy, mirrors behind one name) would mix two files' bytes.
bool SameFileAsProbed(const ResponseHead& head, const ProbeAnswer& probe) {
  std::string value;
  if (probe.dated) {
    Time64 date;
    if (!FieldValue(head, "last-modified", &value) ||
        !ParseHttpDate(LowerAscii(value).c_str(), &date) ||
        date != probe.modified) {
      return false;
    }
  }
  if (!probe.etag.empty()) {
    if (!FieldValue(head, "etag", &value) || value != probe.etag) return false;
  }
  return true;
}

// Whether a segment answer is exactly the one segment `index` asked for;
// then *body_bytes is what it owes the segment file.
bool AnswerFitsSegment(const ResponseHead& head, const DownloadPlan& plan,
                       int index, int64_t* body_bytes) {
  if (BodyIsCoded(head)) return false;
  int64_t length = 0;
  LengthField length_field = ReadContentLength(head, &length);
  if (length_field == LengthField::kInvalid) return false;
  if (plan.ranged) {
    const SegmentRange& range = plan.record.ranges[index];
    int64_t first = 0, last = 0, total = 0;
    if (head.status != 206 || !ReadContentRange(head, &first, &last, &total) ||
        first != range.start || last != range.end || total != plan.size) {
      return false;
    }
    *body_bytes = last - first + 1;
  } else {
    // The whole file, as the probe sized it.
    if (!IsWholeFileStatus(head.status)) return false;
    *body_bytes = plan.size;
  }
  return length_field == LengthField::kAbsent || length == *body_bytes;
}

// What a segment's answer is when it is not the one asked for: a server's
// own failure or an unexpected status says so; anything else is a wrong
// answer.
Outcome Misfit(const ResponseHead& head) {
  if (head.status >= 500) return Outcome::kServerError;
  if (head.status == 304 || head.status == 204 || head.status == 205 ||
      head.status == 226 || (head.status >= 100 && head.status <= 199)) {
    return Outcome::kUnexpectedStatus;
  }
  return Outcome::kWrongAnswer;
}

}  // namespace

uint32_t SegmentThreadProc(void* arg) {
  auto* job = static_cast<SegmentJob*>(arg);
  job->downloader->DownloadSegment(job->index);
  return 0;
}

void Downloader::DownloadSegment(int index) {
  if (index < 0 || index >= kSegmentCount) return;
  SegmentSlot& slot = slots_[index];
  const bool ranged = plan_.ranged;
  SegmentRange& range = plan_.record.ranges[index];
  // A segment that an earlier run completed is not requested again.
  if (ranged && range.start > range.end) {
    slot.outcome = Outcome::kOk;
    return;
  }

  // Through the proxy the system names for the server, as the probe went.
  const HttpUrl& url = probe_.url;
  const platform::ProxyRoute route =
      env_->proxies == nullptr
          ? platform::ProxyRoute()
          : env_->proxies->RouteFor(url.host, url.port, url.secure);
  std::unique_ptr<platform::Socket> socket;
  ConnectionResult opened = OpenConnection(
      env_, url, route, connect_timeout_ms_, receive_timeout_ms_, &socket);
  if (opened.outcome == Outcome::kOk) {
    opened = SendRequest(socket.get(),
                         BuildSegmentRequest(url, probe_.referer,
                                             ranged ? &range : nullptr, route));
  }
  if (opened.outcome != Outcome::kOk) {
    // A request that could not go out is a broken connection; the proxy's
    // refusals of a tunnel are the proxy's errors.
    switch (opened.outcome) {
      case Outcome::kSendFailed:
        slot.outcome = Outcome::kBroken;
        break;
      case Outcome::kProxyAuthRequired:
      case Outcome::kProxyBadGateway:
        slot.outcome = Outcome::kProxyError;
        break;
      case Outcome::kProxyUnsupported:
        slot.outcome = Outcome::kProxyConnectFailed;
        break;
      default:
        slot.outcome = opened.outcome;
    }
    slot.status = opened.status;
    slot.error = opened.error;
    return;
  }

  std::unique_ptr<char[]> block(new char[kSegmentBlockBytes]);
  std::string received;
  size_t head_bytes = 0;
  const HeadBound bound{env_->clock, receive_timeout_ms_, kHeadTimeoutMs};
  switch (ReceiveHead(socket.get(), kSegmentBlockBytes, &received,
                      &head_bytes, &bound)) {
    case HeadRead::kComplete:
      break;
    case HeadRead::kTooLong:
      slot.outcome = Outcome::kHeadTooLong;
      return;
    case HeadRead::kEnded:
    case HeadRead::kFailed:
    case HeadRead::kTimedOut:
      slot.outcome = Outcome::kBroken;
      slot.error = socket->last_error();
      return;
  }

  ResponseHead head;
  if (!ReadResponseHead(received.substr(0, head_bytes), &head)) {
    slot.outcome = Outcome::kWrongAnswer;
    return;
  }
  slot.status = head.status;
  if (route.kind == platform::ProxyRoute::Kind::kHttpProxy && !url.secure &&
      (head.status == 407 || head.status == 502 || head.status == 504)) {
    slot.outcome = Outcome::kProxyError;
    return;
  }
  int64_t remaining = 0;  // body bytes this answer still owes the segment
  if (!AnswerFitsSegment(head, plan_, index, &remaining)) {
    slot.outcome = Misfit(head);
    return;
  }
  if (!SameFileAsProbed(head, probe_)) {
    slot.outcome = Outcome::kWrongAnswer;
    return;
  }

  slot.outcome = Outcome::kWriteFailed;
  platform::OpenMode mode = platform::OpenMode::kCreateTruncate;
  // A kept plan continues the segment file (a missing one counts as
  // empty); one connection always starts the file from its first byte.
  if (ranged && plan_.resumed) mode = platform::OpenMode::kWriteCreateKeep;
  const std::string path = plan_.SegmentFilePath(index);
  std::unique_ptr<platform::File> file = env_->files->Open(path, mode);
  if (!file || !file->SeekToEnd()) {
    slot.error = platform::Status::Error(platform::ErrorKind::kOther, path);
    return;
  }

  int32_t bytes_written = 0;
  auto write_body = [&](const char* data, int64_t n) {
    if (n > remaining) n = remaining;
    if (n <= 0) return true;
    if (!file->Write(data, n)) return false;
    bytes_written += static_cast<int32_t>(n);
    remaining -= n;
    return true;
  };
  if (!write_body(received.data() + head_bytes,
                  static_cast<int64_t>(received.size() - head_bytes))) {
    file->Close();
    slot.error = platform::Status::Error(platform::ErrorKind::kOther, path);
    return;
  }
  received.clear();
  received.shrink_to_fit();

  Outcome outcome = Outcome::kBroken;
  bool stopped = false;
  bool too_slow = false;
  // The low-speed window: when it began, and the bytes since.
  int64_t window_start = env_->clock->MonotonicMillis();
  int64_t window_bytes = 0;
  while (remaining > 0 && !too_slow) {
    // Fill the block (or what the segment still owes), then write it whole.
    int64_t want = std::min<int64_t>(remaining, kSegmentBlockBytes);
    int64_t filled = 0;
    int r = 1;
    while (filled < want) {
      if (slot.stop.load() != 0) {
        stopped = true;
        break;
      }
      r = socket->Receive(block.get() + filled,
                          static_cast<int>(want - filled));
      if (r <= 0) break;  // closed, failed or stalled
      filled += r;
      window_bytes += r;
      const int64_t now = env_->clock->MonotonicMillis();
      if (now - window_start >= kLowSpeedWindowMs) {
        if (window_bytes < kLowSpeedMinBytes) {
          too_slow = true;
          break;
        }
        window_start = now;
        window_bytes = 0;
      }
    }
    if (!write_body(block.get(), filled)) {
      outcome = Outcome::kWriteFailed;
      break;
    }
    if (stopped || too_slow || r <= 0) {
      if (r < 0) slot.error = socket->last_error();
      break;
    }
  }
  // Stopped: the range now begins at the first byte not yet written.
  if (stopped) range.start += bytes_written;
  if (!file->Close()) outcome = Outcome::kWriteFailed;
  if (remaining == 0 && outcome == Outcome::kBroken) outcome = Outcome::kOk;
  if (outcome == Outcome::kWriteFailed) {
    slot.error = platform::Status::Error(platform::ErrorKind::kOther, path);
  }
  slot.outcome = outcome;
}

}  // namespace vorn
