// The segment workers: each fetches one range (or, without range support,
// the whole file) on a thread of its own, and writes it at its offset into
// the one part file that all of them share.
//
// A worker writes only body bytes that belong to its segment: it reads the
// whole response head first (however the network splits it), believes the
// answer only when it names exactly what was asked for (the range, the
// planned total, the probe's Last-Modified and ETag, no coding of the body
// but chunked, a length that agrees), stops when its range is complete (a
// keep-alive server would otherwise hold it until its own time-out), and
// never writes past the range. A failed connection, a wrong answer, a
// stall or a failed write ends the segment early with what it holds kept;
// finishing then sees the segment as incomplete. Each worker leaves its
// result in its own place of the Transfer.
//
// Body bytes move in blocks of kSegmentBlockBytes: a worker fills its one
// buffer from the socket and writes it out whole at its offset, then
// rewrites its own start in the plan file (8 bytes, in place), so a killed
// run resumes from the last block on disk. A gigabyte costs a few thousand
// system calls per connection, not a million.
#include <algorithm>
#include <memory>
#include <string>

#include "download/chunked.h"
#include "download/connection.h"
#include "download/downloader.h"
#include "download/http_date.h"
#include "download/response_header.h"
#include "platform/files.h"
#include "platform/text.h"

namespace vorn {

namespace {

// Whether the answer is of the very file the probe saw: the same
// Last-Modified and ETag.
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
// then *body_bytes is what it owes the part file (-1: its body tells, as
// the probe learned no size) and *framing how its body ends.
bool AnswerFitsSegment(const ResponseHead& head, const DownloadPlan& plan,
                       int index, int64_t* body_bytes, Framing* framing) {
  int64_t length = 0;
  *framing = ReadFraming(head, &length);
  if (*framing == Framing::kInvalid) return false;
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
    if (plan.size < 0 && *framing == Framing::kLength) *body_bytes = length;
  }
  return *framing != Framing::kLength || length == *body_bytes;
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

// What a body that brings more than it may comes to: (the body sizing the
// package) not the announced size, else another answer than the range or
// size asked for.
StepResult TooMuch(bool sized_by_body, int64_t expected_size,
                   const HttpUrl& url, const ResponseHead& head) {
  if (sized_by_body && expected_size >= 0) {
    return Failed(Outcome::kWrongSize,
                  AtServer(url, "SIZE " + std::to_string(expected_size) +
                                    ", server more"),
                  head.status);
  }
  return Failed(Outcome::kWrongAnswer, AtServer(url), head.status);
}

// What a complete body of `bytes` that sized the package comes to: kOk,
// an empty package, or not the announced size.
StepResult BodySizeFault(int64_t bytes, int64_t expected_size,
                         const HttpUrl& url, const ResponseHead& head) {
  if (bytes == 0) {
    return Failed(Outcome::kEmptyPackage, AtServer(url), head.status);
  }
  if (expected_size >= 0 && bytes != expected_size) {
    return Failed(Outcome::kWrongSize,
                  AtServer(url, "SIZE " + std::to_string(expected_size) +
                                    ", server " + std::to_string(bytes)),
                  head.status);
  }
  return StepResult();
}

// Whether a failed attempt may succeed when made again: the connection
// broke, stalled or could not be made, or the server (or a proxy in front
// of it) failed for the moment. A refusal, a wrong answer, a TLS fault or
// a failed write would fail the same way again.
bool Transient(Outcome outcome) {
  switch (outcome) {
    case Outcome::kConnectFailed:
    case Outcome::kSendFailed:
    case Outcome::kNoAnswer:
    case Outcome::kBroken:
    case Outcome::kServerError:
    case Outcome::kProxyConnectFailed:
    case Outcome::kProxyBadGateway:
      return true;
    default:
      return false;
  }
}

}  // namespace

uint32_t RetryPauseMs(int retry) {
  return 1000u << std::min(std::max(retry, 1) - 1, kMaxSegmentRetries - 1);
}

void Downloader::DownloadSegment(Transfer* transfer, int index) const {
  if (index < 0 || index >= kSegmentCount) return;
  StepResult& result = transfer->results[index];
  for (int retry = 1;; ++retry) {
    result = FetchSegment(transfer, index);
    if (result.ok() || !Transient(result.outcome) ||
        retry > kMaxSegmentRetries) {
      return;
    }
    const uint32_t pause = RetryPauseMs(retry);
    if (observer_.retrying) {
      observer_.retrying(*transfer, index, retry, result, pause);
    }
    // The pause in short steps, so a stop request is not kept waiting.
    for (uint32_t slept = 0; slept < pause; slept += kRetryPauseStepMs) {
      if (stop_[index].load() != 0) {
        result = Failed(Outcome::kStopped, result.error, result.status);
        return;
      }
      env_->clock->SleepMillis(std::min(kRetryPauseStepMs, pause - slept));
    }
    // One connection starts the file over: the digest too, so it holds
    // only the bytes of the answer that writes them.
    if (!transfer->plan.ranged && transfer->digest) {
      transfer->digest = env_->crypto->NewSha256();
      transfer->hashed = 0;
    }
  }
}

StepResult Downloader::FetchSegment(Transfer* transfer, int index) const {
  StepResult result;
  const DownloadPlan& plan = transfer->plan;
  const ProbeAnswer& probe = transfer->probe;
  const bool ranged = plan.ranged;
  SegmentRange& range = transfer->plan.record.ranges[index];
  // A segment that an earlier run completed is not requested again.
  if (ranged && range.start > range.end) return result;

  // Through the proxy the system names for the server, as the probe went.
  const HttpUrl& url = probe.url;
  Exchange exchange;
  const ExchangeLimits limits{connect_timeout_ms_, receive_timeout_ms_,
                              kSegmentBlockBytes};
  result = RunExchange(
      env_, url, limits,
      [&](const platform::ProxyRoute& route) {
        return BuildSegmentRequest(url, probe.referer,
                                   ranged ? &range : nullptr, route);
      },
      &exchange);
  if (!result.ok()) return result;
  const ResponseHead& head = exchange.head;
  result.status = head.status;
  int64_t remaining = 0;  // body bytes this answer still owes the segment
  Framing framing = Framing::kLength;
  if (!AnswerFitsSegment(head, plan, index, &remaining, &framing)) {
    return Failed(Misfit(head), AtServer(url), head.status);
  }
  // A changed file (a rolling deploy, mirrors behind one name) would mix
  // two files' bytes, unless the announced digest and size prove them, or
  // this is the one answer that is the whole package.
  if (!Pinned() && !transfer->one_answer && !SameFileAsProbed(head, probe)) {
    return Failed(Outcome::kOtherFile, AtServer(url), head.status);
  }
  // A chunked body marks its own end. Without a size from the probe (one
  // connection) a body without a length ends with the connection, which a
  // cut looks like: only an announced size or digest can tell them apart.
  // Such a body, or a chunked one, then brings the announced size at most,
  // else what a download can hold (`remaining` is that bound).
  const bool sized_by_body = plan.size < 0;
  const bool chunked = framing == Framing::kChunked;
  const bool until_close = sized_by_body && framing == Framing::kClose;
  if (until_close && expected_size_ < 0 && expected_sha256_.empty()) {
    return Failed(Outcome::kBadAnswer, AtServer(url), head.status);
  }
  if (remaining < 0) {
    remaining = expected_size_ >= 0 ? expected_size_ : kMaxBodyBytes;
  }
  const auto answer_start = range.start;

  // The part file has the package's size from the start (sparse where the
  // system allows), so every worker writes at its offsets; one connection
  // writes it afresh from its first byte. Four-part mode also keeps the
  // plan open, to move its start forward after every block.
  platform::FileSystem* fs = env_->files;
  std::unique_ptr<platform::File> part;
  std::unique_ptr<platform::File> plan_file;
  // Why the part file or the plan could not be written: the status names
  // which of them, and the system's reason.
  platform::Status failure = fs->Open(
      plan.part_path,
      ranged ? platform::OpenMode::kWriteShared
             : platform::OpenMode::kCreateTruncate,
      &part);
  if (failure.ok() && ranged && part->Length() < plan.size) {
    failure = part->SetLength(plan.size);
  }
  if (failure.ok() && ranged) {
    failure = fs->Open(plan.plan_path, platform::OpenMode::kWriteShared,
                       &plan_file);
  }
  if (!failure.ok()) {
    return Failed(Outcome::kWriteFailed, failure, head.status);
  }

  int64_t next = ranged ? range.start : 0;  // the next offset to write
  int64_t writeback_from = next;  // the first byte not yet sent to disk
  const int64_t start_field = StartFieldOffset(plan.record, index);
  auto write_body = [&](const char* data, int64_t n) {
    if (n > remaining) n = remaining;
    if (n <= 0) return true;
    failure = part->WriteAt(next, data, n);
    if (!failure.ok()) return false;
    // Worker 0 hashes what continues the hashed run from the first byte; a
    // resumed segment 0 leaves its bytes to the finish's read.
    if (index == 0 && transfer->digest && next == transfer->hashed) {
      transfer->digest->Update(data, static_cast<size_t>(n));
      transfer->hashed += n;
    }
    next += n;
    remaining -= n;
    // The rename at the end flushes the part file; writing it back as it
    // comes, in runs of kWritebackBytes, leaves that flush little to wait
    // for.
    if (next - writeback_from >= kWritebackBytes) {
      part->StartWriteback(writeback_from, next - writeback_from);
      writeback_from = next;
    }
    if (!ranged) return true;
    // The start follows the bytes on disk, never runs ahead of them.
    range.start = next;
    std::string field;
    AppendLe64(&field, static_cast<uint64_t>(range.start));
    failure = plan_file->WriteAt(start_field, field.data(), 8);
    return failure.ok();
  };
  // A chunked body is decoded where it was received (its data never takes
  // more room than the bytes that brought it); `ended` says that its last
  // chunk and trailers came, or that a body ending with the connection
  // did; `misframed` why the bytes cannot be this body.
  ChunkedDecoder chunks(remaining);
  std::string decoded;
  bool ended = false;
  StepResult misframed;
  auto unframe = [&](char* at, int64_t n) {
    if (!chunked) return n;
    decoded.clear();
    size_t used = 0;
    const ChunkedDecoder::State state =
        chunks.Feed(at, static_cast<size_t>(n), &decoded, &used);
    ended = state == ChunkedDecoder::State::kDone;
    if (state == ChunkedDecoder::State::kMalformed) {
      misframed = chunks.over_limit()
                      ? TooMuch(sized_by_body, expected_size_, url, head)
                      : Failed(Outcome::kBadAnswer, AtServer(url), head.status);
    }
    std::copy(decoded.begin(), decoded.end(), at);
    return static_cast<int64_t>(decoded.size());
  };
  // Whether the body is complete: all of its length, or its end as it
  // marks it.
  auto complete = [&]() {
    return chunked || until_close ? ended : remaining == 0;
  };
  std::string& start = exchange.body_start;
  const int64_t start_bytes =
      unframe(&start[0], static_cast<int64_t>(start.size()));
  if (until_close && start_bytes > remaining) {
    misframed = TooMuch(sized_by_body, expected_size_, url, head);
  }
  if (misframed.ok() && !write_body(start.data(), start_bytes)) {
    return Failed(Outcome::kWriteFailed, failure, head.status);
  }
  exchange.body_start.clear();
  exchange.body_start.shrink_to_fit();

  platform::Socket* socket = exchange.socket.get();
  std::unique_ptr<char[]> block(new char[kSegmentBlockBytes]);
  Outcome outcome = Outcome::kBroken;
  platform::Status why = AtServer(url);
  bool too_slow = false;
  // The low-speed window: when it began, and the bytes since.
  int64_t window_start = env_->clock->MonotonicMillis();
  int64_t window_bytes = 0;
  while (!complete() && misframed.ok() && !too_slow) {
    // Fill the block (or what the segment still owes), then write it whole.
    // A body that marks its own end fills it with what comes.
    int64_t want = chunked || until_close
                       ? kSegmentBlockBytes
                       : std::min<int64_t>(remaining, kSegmentBlockBytes);
    int64_t filled = 0;
    int r = 1;
    bool stopped = false;
    while (filled < want && !ended) {
      if (stop_[index].load() != 0) {
        stopped = true;
        break;
      }
      r = socket->Receive(block.get() + filled,
                          static_cast<int>(want - filled));
      if (r <= 0) {  // closed, failed or stalled
        ended = until_close && r == 0;
        break;
      }
      filled += unframe(block.get() + filled, r);
      window_bytes += r;
      if (until_close && filled > remaining) {
        misframed = TooMuch(sized_by_body, expected_size_, url, head);
      }
      if (!misframed.ok()) break;
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
    if (!misframed.ok()) break;  // nothing of it is written
    if (!write_body(block.get(), filled)) {
      outcome = Outcome::kWriteFailed;
      why = failure;
      break;
    }
    if (stopped) {
      outcome = Outcome::kStopped;
      break;
    }
    if (too_slow) {
      why = platform::Status::Error(platform::ErrorKind::kTimedOut,
                                    why.object(), 0, "below 1 KiB/s");
      break;
    }
    if (r <= 0) {
      if (r < 0) {
        why = socket->last_error();
      } else {
        why = platform::Status::Error(platform::ErrorKind::kClosed,
                                      why.object());
      }
      break;
    }
  }
  // A chunked body that ended short of its range or size is another answer;
  // a body that ended with the connection short of the announced size was
  // cut.
  if (chunked && ended && !sized_by_body && remaining != 0) {
    misframed = Failed(Outcome::kWrongAnswer, AtServer(url), head.status);
  }
  if (until_close && expected_size_ >= 0 && remaining != 0) ended = false;
  if (outcome == Outcome::kBroken && !misframed.ok()) {
    outcome = misframed.outcome;
    why = misframed.error;
    // Bytes of a misframed answer are not kept: the progress the plan keeps
    // goes back to where the answer began, and a digest that took them in
    // is left to the finish's read-back.
    if (ranged) {
      range.start = answer_start;
      if (index == 0 && transfer->digest && transfer->hashed > answer_start) {
        transfer->digest = env_->crypto->NewSha256();
        transfer->hashed = 0;
      }
    }
  }
  platform::Status closed = part->Close();
  if (plan_file) {
    platform::Status plan_closed = plan_file->Close();
    if (closed.ok()) closed = plan_closed;
  }
  if (outcome != Outcome::kWriteFailed && !closed.ok()) {
    outcome = Outcome::kWriteFailed;
    why = closed;
  }
  if (complete() && outcome == Outcome::kBroken) {
    // A body that sized the package: the plan takes its size.
    if (sized_by_body) {
      result = BodySizeFault(next, expected_size_, url, head);
      if (!result.ok()) return result;
      transfer->plan.size = next;
    }
    result = StepResult();
    result.status = head.status;
    return result;
  }
  return Failed(outcome, why, head.status);
}

}  // namespace vorn
