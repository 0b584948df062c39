// The connections: each fetches ranges of the plan (or, without range
// support, the whole file) on a thread of its own, and writes them at their
// offsets into the one part file that all of them share.
//
// A connection writes only body bytes that belong to its range: it reads
// the whole response head first (however the network splits it), believes
// the answer only when it names exactly what was asked for (the range, the
// planned total, the probe's Last-Modified and ETag, no coding of the body
// but chunked, a length that agrees), stops when its range is complete,
// and never writes past the range. A failed connection, a wrong answer, a
// stall or a failed write ends the range early with what it holds kept;
// finishing then sees it as incomplete. Each connection leaves its result
// in its own place of the Transfer.
//
// The work is shared: a connection whose range is done takes a range that
// nobody fetches, else the larger half of what the largest range being
// fetched still needs (when that is at least twice the split floor). The
// range split off goes into a free slot of the plan file before the range
// it came from is cut short there, so a kill between the two writes leaves
// bytes needed twice, never bytes needed by nobody. The connection that
// had it stops at its new end and closes; no byte is asked for twice. A
// connection that read its answer to the end keeps it for its next
// request.
//
// Body bytes move in blocks of kSegmentBlockBytes: a connection fills its
// one buffer from the socket and writes it out whole at its offset, then
// rewrites its range's start in the plan file (8 bytes, in place), so a
// killed run resumes from the last block on disk. A gigabyte costs a few
// thousand system calls per connection, not a million.
#include <algorithm>
#include <array>
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

// The bytes of the last kLowSpeedWindowMs in one-second slots. A body is
// too slow once a whole window has passed since it began and the last
// window brought fewer than kLowSpeedMinBytes, whenever within the window
// it slowed down.
class LowSpeedWatch {
 public:
  explicit LowSpeedWatch(int64_t now) : start_(now) {}

  // Counts BYTES received at NOW; true when the body is too slow.
  bool Add(int64_t now, int64_t bytes) {
    const int64_t second = std::max<int64_t>(0, now - start_) / 1000;
    // The seconds that passed since the last bytes brought none.
    for (int64_t s = std::max(last_ + 1, second - kSlots + 1); s <= second;
         ++s) {
      total_ -= slots_[s % kSlots];
      slots_[s % kSlots] = 0;
    }
    if (second > last_) last_ = second;
    slots_[second % kSlots] += bytes;
    total_ += bytes;
    return now - start_ >= kLowSpeedWindowMs && total_ < kLowSpeedMinBytes;
  }

 private:
  static constexpr int64_t kSlots = kLowSpeedWindowMs / 1000;
  int64_t start_;
  int64_t last_ = 0;
  int64_t total_ = 0;
  std::array<int64_t, kSlots> slots_{};
};

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

// Whether an answer is exactly the one asked for `asked`; then *body_bytes
// is what it owes the part file (-1: its body tells, as the probe learned
// no size) and *framing how its body ends.
bool AnswerFitsSegment(const ResponseHead& head, const DownloadPlan& plan,
                       const SegmentRange& range, int64_t* body_bytes,
                       Framing* framing) {
  int64_t length = 0;
  *framing = ReadFraming(head, &length);
  if (*framing == Framing::kInvalid) return false;
  if (plan.ranged) {
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
  result = StepResult();
  // Connection 0 starts with the probe's answer when there is one.
  std::unique_ptr<Exchange> open;
  if (index == 0) open = std::move(transfer->answer);
  if (!transfer->plan.ranged) {
    result = FetchRange(transfer, index, 0, &open);
    return;
  }
  for (;;) {
    const int range = TakeWork(transfer, index);
    if (range < 0) {
      // A range large enough to split may become worth it once its rate
      // shows: look again in a while, until there is none.
      if (!MayHelpLater(transfer) || stop_[index].load() != 0) return;
      env_->clock->SleepMillis(kSplitRecheckMillis);
      continue;
    }
    result = FetchRange(transfer, index, range, &open);
    std::lock_guard<std::mutex> hold(transfer->work);
    transfer->owner[range] = -1;
    if (!result.ok()) {
      // Nobody takes it again, nor what else was given to this connection:
      // the same server would answer the same way, after the same retries.
      transfer->failed[range] = true;
      for (size_t i = 0; i < transfer->owner.size(); ++i) {
        if (transfer->owner[i] == index) {
          transfer->owner[i] = -1;
          transfer->failed[i] = true;
        }
      }
      return;
    }
    if (stop_[index].load() != 0) {
      result = Failed(Outcome::kStopped);
      return;
    }
  }
}

bool Downloader::MayHelpLater(Transfer* transfer) const {
  std::lock_guard<std::mutex> hold(transfer->work);
  const std::vector<SegmentRange>& ranges = transfer->plan.record.ranges;
  // A range that failed fails the run: there is nothing left to help with.
  for (size_t i = 0; i < ranges.size() && i < transfer->failed.size(); ++i) {
    if (transfer->failed[i]) return false;
  }
  for (size_t i = 0; i < ranges.size() && i < transfer->owner.size(); ++i) {
    if (transfer->owner[i] < 0 || ranges[i].start > ranges[i].end) continue;
    const int64_t from = std::max(ranges[i].start, transfer->reach[i]);
    if (ranges[i].end - from + 1 >= 2 * split_floor_) return true;
    if (i < transfer->since_ms.size() && transfer->since_ms[i] == 0 &&
        MayHandOver(*transfer, transfer->asked_source[i])) {
      return true;
    }
  }
  return false;
}

bool Downloader::MayHandOver(const Transfer& transfer, int source) const {
  if (source < 0 || static_cast<size_t>(source) >= transfer.sources.size()) {
    return false;
  }
  if (transfer.sources[source].aside) return true;
  int live = 0;
  for (const Source& s : transfer.sources) live += s.aside ? 0 : 1;
  return live >= 2;
}

int Downloader::TakeWork(Transfer* transfer, int index) const {
  std::lock_guard<std::mutex> hold(transfer->work);
  std::vector<SegmentRange>& ranges = transfer->plan.record.ranges;
  const int count = static_cast<int>(ranges.size());
  // A transfer that RunWorkers did not set up has nobody on any range.
  if (transfer->owner.size() != ranges.size()) {
    transfer->owner.assign(ranges.size(), -1);
    transfer->reach.assign(ranges.size(), 0);
    transfer->failed.assign(ranges.size(), false);
  }
  if (transfer->since_ms.size() != ranges.size()) {
    transfer->since_ms.assign(ranges.size(), 0);
    transfer->since_start.assign(ranges.size(), 0);
    transfer->received.assign(ranges.size(), 0);
    transfer->asked_ms.assign(ranges.size(), 0);
    transfer->asked_source.assign(ranges.size(), -1);
  }
  auto needed = [&](int i) {
    return ranges[i].start <= ranges[i].end && !transfer->failed[i];
  };
  // The first of the ranges given to this connection, else the first one
  // that nobody fetches.
  int take = -1;
  bool own = false;
  for (int i = 0; i < count; ++i) {
    if (!needed(i)) continue;
    const bool mine = transfer->owner[i] == index;
    if (!mine && (own || transfer->owner[i] >= 0)) continue;
    if (take < 0 || (mine && !own) || ranges[i].start < ranges[take].start) {
      take = i;
      own = mine;
    }
  }
  if (take >= 0) {
    transfer->owner[take] = index;
    transfer->reach[take] = ranges[take].start;
    transfer->since_ms[take] = 0;
    return take;
  }
  // Range `from`'s bytes from `cut` on, moved into a free slot that this
  // connection takes; -1 when no slot is free or the plan is not written.
  // The new range first, then the old one's new end: a kill between the
  // two leaves the bytes needed by both, never by neither.
  auto carve = [&](int from, int64_t cut) {
    int slot = -1;
    for (int i = 0; i < count && slot < 0; ++i) {
      if (ranges[i].start > ranges[i].end && transfer->owner[i] < 0) slot = i;
    }
    if (slot < 0) return -1;
    const int64_t end = ranges[from].end;
    std::unique_ptr<platform::File> plan_file;
    if (!env_->files
             ->Open(transfer->plan.plan_path,
                    platform::OpenMode::kWriteShared, &plan_file)
             .ok()) {
      return -1;
    }
    std::string fields;
    AppendLe64(&fields, static_cast<uint64_t>(cut));
    AppendLe64(&fields, static_cast<uint64_t>(end));
    if (!plan_file
             ->WriteAt(StartFieldOffset(transfer->plan.record, slot),
                       fields.data(), 16)
             .ok()) {
      return -1;
    }
    fields.clear();
    AppendLe64(&fields, static_cast<uint64_t>(cut - 1));
    (void)plan_file->WriteAt(
        StartFieldOffset(transfer->plan.record, from) + 8, fields.data(), 8);
    (void)plan_file->Close();
    ranges[slot] = {cut, end};
    ranges[from].end = cut - 1;
    transfer->owner[slot] = index;
    transfer->reach[slot] = cut;
    transfer->since_ms[slot] = 0;
    return slot;
  };
  // A range whose answer has not come from another source for long: all
  // of it, and its connection is ended (its source is then set aside).
  const int silent = SilentRange(*transfer, index);
  if (silent >= 0) {
    const int other = transfer->owner[silent];
    const int slot =
        carve(silent, std::max(ranges[silent].start, transfer->reach[silent]));
    if (slot < 0) return -1;
    transfer->lanes[other].Interrupt();
    return slot;
  }
  // Else the larger half of what the range that would take longest still
  // needs beyond where its connection may have read: its bytes left over
  // its rate so far (a range without a rate yet is taken to go as fast as
  // the fastest one).
  const int64_t now = env_->clock->MonotonicMillis();
  std::vector<double> rate(count, 0.0);  // bytes per ms; 0: not known
  double fastest = 0.0;
  for (int i = 0; i < count; ++i) {
    const int64_t elapsed = now - transfer->since_ms[i];
    if (!needed(i) || transfer->since_ms[i] == 0 || elapsed < 10) continue;
    rate[i] =
        static_cast<double>(transfer->received[i] - transfer->since_start[i]) /
        static_cast<double>(elapsed);
    fastest = std::max(fastest, rate[i]);
  }
  int largest = -1;
  int64_t left = 0;
  double longest = -1.0;
  for (int i = 0; i < count; ++i) {
    if (!needed(i)) continue;
    const int64_t from = std::max(ranges[i].start, transfer->reach[i]);
    const int64_t bytes = ranges[i].end - from + 1;
    if (bytes < 2 * split_floor_) continue;
    // Without any rate yet nothing tells whether a split pays: the next
    // look, a little later, will know.
    const double speed = rate[i] > 0.0 ? rate[i] : fastest;
    if (speed <= 0.0) continue;
    const double time = bytes / speed;
    if (time < kSplitMinMillis) continue;
    if (time > longest) {
      longest = time;
      left = bytes;
      largest = i;
    }
  }
  if (largest < 0) return -1;
  return carve(largest, ranges[largest].end - (left + 1) / 2 + 1);
}

int Downloader::SilentRange(const Transfer& transfer, int index) const {
  const std::vector<SegmentRange>& ranges = transfer.plan.record.ranges;
  const int mine = SourceOf(transfer, index);
  const int64_t wait = std::max(kHandOverMillis, 3 * transfer.slowest_head_ms);
  int64_t now = -1;  // read only when a connection waits on an answer
  for (size_t i = 0; i < ranges.size() && i < transfer.asked_ms.size(); ++i) {
    const int other = transfer.owner[i];
    const int source = transfer.asked_source[i];
    if (ranges[i].start > ranges[i].end || transfer.failed[i] || other < 0 ||
        other == index || transfer.since_ms[i] != 0 ||
        transfer.asked_ms[i] == 0 || source == mine ||
        !MayHandOver(transfer, source)) {
      continue;
    }
    if (transfer.sources[source].aside) return static_cast<int>(i);
    if (now < 0) now = env_->clock->MonotonicMillis();
    if (now - transfer.asked_ms[i] >= wait) return static_cast<int>(i);
  }
  return -1;
}

int Downloader::PickSource(Transfer* transfer, int index) const {
  std::lock_guard<std::mutex> hold(transfer->work);
  return SourceOf(*transfer, index);
}

int Downloader::SourceOf(const Transfer& transfer, int index) const {
  std::vector<int> live;
  for (size_t i = 0; i < transfer.sources.size(); ++i) {
    if (!transfer.sources[i].aside) live.push_back(static_cast<int>(i));
  }
  return live.empty() ? 0 : live[static_cast<size_t>(index) % live.size()];
}

bool Downloader::SetAside(Transfer* transfer, int source,
                          const StepResult& why) const {
  // What the source did, not the network in between: it could not be
  // reached, or answered with a failure or with other bytes than the ones
  // asked for. A cut connection is retried as anywhere.
  switch (why.outcome) {
    case Outcome::kConnectFailed:
    case Outcome::kTlsFailed:
    case Outcome::kNoAnswer:
    case Outcome::kHeadTooLong:
    case Outcome::kBadAnswer:
    case Outcome::kServerError:
    case Outcome::kRefused:
    case Outcome::kUnexpectedStatus:
    case Outcome::kWrongAnswer:
    case Outcome::kWrongSize:
    case Outcome::kProxyBadGateway:
      break;
    default:
      return false;
  }
  std::string url;
  {
    std::lock_guard<std::mutex> hold(transfer->work);
    std::vector<Source>& sources = transfer->sources;
    if (static_cast<size_t>(source) >= sources.size()) return false;
    // Another connection set it aside meanwhile: the next attempt goes to
    // another source.
    if (sources[source].aside) return true;
    int live = 0;
    for (const Source& s : sources) live += s.aside ? 0 : 1;
    if (live < 2) return false;
    sources[source].aside = true;
    url = sources[source].url.text;
  }
  if (observer_.source_set_aside) {
    observer_.source_set_aside(*transfer, url, why);
  }
  return true;
}

StepResult Downloader::FetchRange(Transfer* transfer, int index, int range,
                                  std::unique_ptr<Exchange>* open) const {
  StepResult result;
  for (int retry = 1;; ++retry) {
    const int source = PickSource(transfer, index);
    result = FetchSegment(transfer, index, range, open, source);
    if (!result.ok() && transfer->lanes[index].interrupted()) {
      // Another connection ended this one: its source gave no answer in
      // the time the others brought theirs. The range was taken over, or
      // is asked for again from another source at once.
      open->reset();
      std::string server;
      bool taken = false;
      {
        std::lock_guard<std::mutex> hold(transfer->work);
        const HttpUrl& url = transfer->sources[source].url;
        server = platform::HostPort(url.host, url.port);
        taken = transfer->plan.record.ranges[range].start >
                transfer->plan.record.ranges[range].end;
      }
      result = Failed(Outcome::kNoAnswer,
                      platform::Status::Error(platform::ErrorKind::kTimedOut,
                                              server));
      const bool aside = SetAside(transfer, source, result);
      if (taken) return StepResult();
      if (aside) {
        --retry;
        continue;
      }
    }
    if (!result.ok() && transfer->plan.ranged) {
      // Between attempts nobody waits on an answer for the range.
      std::lock_guard<std::mutex> hold(transfer->work);
      transfer->asked_ms[range] = 0;
    }
    // A source that failed is left for the others, at once.
    if (!result.ok() && SetAside(transfer, source, result)) {
      open->reset();
      --retry;
      continue;
    }
    if (result.ok() || !Transient(result.outcome) ||
        retry > kMaxSegmentRetries) {
      return result;
    }
    open->reset();
    const uint32_t pause = RetryPauseMs(retry);
    if (observer_.retrying) {
      observer_.retrying(*transfer, index, retry, result, pause);
    }
    // The pause in short steps, so a stop request is not kept waiting.
    for (uint32_t slept = 0; slept < pause; slept += kRetryPauseStepMs) {
      if (stop_[index].load() != 0) {
        return Failed(Outcome::kStopped, result.error, result.status);
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

void Downloader::CatchUpDigest(Transfer* transfer) const {
  std::unique_ptr<platform::File> in;
  std::string buffer;
  for (;;) {
    // The first byte from where the digest stands that is not on disk.
    int64_t until = transfer->plan.size;
    {
      std::lock_guard<std::mutex> hold(transfer->work);
      for (const SegmentRange& r : transfer->plan.record.ranges) {
        if (r.start > r.end || r.end < transfer->hashed) continue;
        until = std::min(until, std::max(r.start, transfer->hashed));
      }
    }
    if (until <= transfer->hashed) return;
    if (in == nullptr) {
      if (!env_->files
               ->Open(transfer->plan.part_path, platform::OpenMode::kRead, &in)
               .ok()) {
        return;
      }
      buffer.resize(static_cast<size_t>(kReadBackBytes));
    }
    int64_t got = 0;
    if (!in->ReadAt(transfer->hashed, &buffer[0],
                    std::min(until - transfer->hashed, kReadBackBytes), &got)
             .ok() ||
        got <= 0) {
      return;
    }
    transfer->digest->Update(buffer.data(), static_cast<size_t>(got));
    transfer->hashed += got;
  }
}

StepResult Downloader::FetchSegment(Transfer* transfer, int index, int slot,
                                    std::unique_ptr<Exchange>* open,
                                    int source) const {
  StepResult result;
  const DownloadPlan& plan = transfer->plan;
  const ProbeAnswer& probe = transfer->probe;
  const bool ranged = plan.ranged;
  std::vector<SegmentRange>& ranges = transfer->plan.record.ranges;
  SegmentRange asked;
  {
    std::lock_guard<std::mutex> hold(transfer->work);
    asked = ranges[slot];
  }
  // A range that an earlier run completed is not requested again.
  if (ranged && asked.start > asked.end) return result;

  // Through the proxy the system names for the server, as the probe went.
  HttpUrl url = probe.url;
  std::string referer = probe.referer;
  {
    std::lock_guard<std::mutex> hold(transfer->work);
    if (static_cast<size_t>(source) < transfer->sources.size()) {
      url = transfer->sources[source].url;
      referer = transfer->sources[source].referer;
    }
  }
  Interrupter* lane = &transfer->lanes[index];
  if (ranged) {
    std::lock_guard<std::mutex> hold(transfer->work);
    lane->Reset();
    transfer->asked_ms[slot] = env_->clock->MonotonicMillis();
    transfer->asked_source[slot] = source;
    transfer->since_ms[slot] = 0;
  }
  if (*open == nullptr) *open = std::make_unique<Exchange>();
  Exchange& exchange = **open;
  if (ranged && exchange.interrupter == nullptr) {
    exchange.interrupter = lane;
    if (exchange.socket != nullptr) lane->Attach(exchange.socket.get());
  }
  if (exchange.answered) {
    // The probe's answer: the file from byte 100 on, or all of it.
    exchange.answered = false;
    if (ranged) asked.end = plan.size - 1;
  } else {
    const ExchangeLimits limits{connect_timeout_ms_, receive_timeout_ms_,
                                kSegmentBlockBytes};
    result = RunExchange(
        env_, url, limits,
        [&](const platform::ProxyRoute& route) {
          return BuildSegmentRequest(url, referer, ranged ? &asked : nullptr,
                                     route);
        },
        &exchange);
    if (!result.ok()) {
      open->reset();
      return result;
    }
  }
  const ResponseHead& head = exchange.head;
  result.status = head.status;
  int64_t remaining = 0;  // body bytes this answer still owes
  Framing framing = Framing::kLength;
  if (!AnswerFitsSegment(head, plan, asked, &remaining, &framing)) {
    const StepResult misfit = Failed(Misfit(head), AtServer(url), head.status);
    open->reset();  // `head` goes with it
    return misfit;
  }
  // A changed file (a rolling deploy, mirrors behind one name) would mix
  // two files' bytes, unless the announced digest and size prove them, or
  // this is the one answer that is the whole package.
  if (!Pinned() && !transfer->one_answer && !SameFileAsProbed(head, probe)) {
    const int32_t status = head.status;
    open->reset();
    return Failed(Outcome::kOtherFile, AtServer(url), status);
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
    const int32_t status = head.status;
    open->reset();
    return Failed(Outcome::kBadAnswer, AtServer(url), status);
  }
  if (remaining < 0) {
    remaining = expected_size_ >= 0 ? expected_size_ : kMaxBodyBytes;
  }
  const int64_t answer_start = asked.start;
  int64_t next_offset = 0;
  // The end of the range now: another connection may have cut it short
  // since the request went out. With `reading` bytes about to be read, the
  // range is not cut below where they may reach.
  // `received` of them already in the block, for the range's rate.
  auto range_end = [&](int64_t reading, int64_t received = 0) {
    std::lock_guard<std::mutex> hold(transfer->work);
    transfer->reach[slot] =
        std::max(transfer->reach[slot], next_offset + reading);
    transfer->received[slot] =
        std::max(transfer->received[slot], next_offset + received);
    return ranges[slot].end;
  };

  // The part file has the package's size from the start (sparse where the
  // system allows), so every worker writes at its offsets; one connection
  // writes it afresh from its first byte. Four-part mode also keeps the
  // plan open, to move its start forward after every block.
  platform::FileSystem* fs = env_->files;
  std::unique_ptr<platform::File> part;
  std::unique_ptr<platform::File> plan_file;
  const int32_t status = head.status;
  auto fail = [&](Outcome outcome, const platform::Status& why) {
    open->reset();
    return Failed(outcome, why, status);
  };
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
  if (!failure.ok()) return fail(Outcome::kWriteFailed, failure);

  int64_t& next = next_offset;  // the next offset to write
  next = ranged ? asked.start : 0;
  if (ranged) {
    std::lock_guard<std::mutex> hold(transfer->work);
    transfer->since_ms[slot] = env_->clock->MonotonicMillis();
    transfer->slowest_head_ms =
        std::max(transfer->slowest_head_ms,
                 transfer->since_ms[slot] - transfer->asked_ms[slot]);
    transfer->since_start[slot] = next;
    transfer->received[slot] = next;
  }
  int64_t writeback_from = next;  // the first byte not yet sent to disk
  const int64_t start_field = StartFieldOffset(plan.record, slot);
  auto write_body = [&](const char* data, int64_t n) {
    if (n > remaining) n = remaining;
    if (ranged) n = std::min(n, range_end(0) - next + 1);
    if (n <= 0) return true;
    failure = part->WriteAt(next, data, n);
    if (!failure.ok()) return false;
    const int64_t at = next;
    next += n;
    remaining -= n;
    if (ranged) {
      // The start follows the bytes on disk, never runs ahead of them.
      {
        std::lock_guard<std::mutex> hold(transfer->work);
        ranges[slot].start = next;
        // A connection that waits in vain on another source is ended here
        // too, while nobody is idle to take its range over: it asks again
        // elsewhere.
        const int silent = SilentRange(*transfer, index);
        if (silent >= 0) {
          transfer->asked_ms[silent] = 0;
          transfer->lanes[transfer->owner[silent]].Interrupt();
        }
      }
      std::string field;
      AppendLe64(&field, static_cast<uint64_t>(next));
      failure = plan_file->WriteAt(start_field, field.data(), 8);
      if (!failure.ok()) return false;
    }
    // The digest takes what continues its run from the first byte, then
    // what other connections wrote after it; a connection that finds
    // another doing so leaves its bytes to that one, or to the finish's
    // read.
    if (transfer->digest && transfer->hashing.try_lock()) {
      if (at == transfer->hashed) {
        transfer->digest->Update(data, static_cast<size_t>(n));
        transfer->hashed += n;
      }
      if (ranged) CatchUpDigest(transfer);
      transfer->hashing.unlock();
    }
    // The rename at the end flushes the part file; writing it back as it
    // comes, in runs of kWritebackBytes, leaves that flush little to wait
    // for.
    if (next - writeback_from >= kWritebackBytes) {
      part->StartWriteback(writeback_from, next - writeback_from);
      writeback_from = next;
    }
    return true;
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
    if (ranged) {
      // Cut short by another connection: the rest of the answer is not
      // this range's.
      const int64_t end = range_end(0);
      if (end < asked.end && next > end) return true;
    }
    return chunked || until_close ? ended : remaining == 0;
  };
  std::string& start = exchange.body_start;
  const int64_t start_bytes =
      unframe(&start[0], static_cast<int64_t>(start.size()));
  // Bytes after the body came with it: the connection holds no clean
  // start of a next answer.
  const bool overrun = !chunked && start_bytes > remaining;
  if (until_close && start_bytes > remaining) {
    misframed = TooMuch(sized_by_body, expected_size_, url, head);
  }
  if (misframed.ok() && !write_body(start.data(), start_bytes)) {
    return fail(Outcome::kWriteFailed, failure);
  }
  exchange.body_start.clear();
  exchange.body_start.shrink_to_fit();

  platform::Socket* socket = exchange.socket.get();
  std::unique_ptr<char[]> block(new char[kSegmentBlockBytes]);
  Outcome outcome = Outcome::kBroken;
  platform::Status why = AtServer(url);
  bool too_slow = false;
  LowSpeedWatch low_speed(env_->clock->MonotonicMillis());
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
      int64_t ask = want - filled;
      if (ranged) {
        // Not past the range's end, which another connection may cut.
        const int64_t end = range_end(filled + ask, filled);
        if (end < asked.end) ask = std::min(ask, end - (next + filled) + 1);
        if (ask <= 0) break;
      }
      r = socket->Receive(block.get() + filled, static_cast<int>(ask));
      if (r <= 0) {  // closed, failed or stalled
        ended = until_close && r == 0;
        break;
      }
      filled += unframe(block.get() + filled, r);
      if (until_close && filled > remaining) {
        misframed = TooMuch(sized_by_body, expected_size_, url, head);
      }
      if (!misframed.ok()) break;
      if (low_speed.Add(env_->clock->MonotonicMillis(), r)) {
        too_slow = true;
        break;
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
      {
        std::lock_guard<std::mutex> hold(transfer->work);
        ranges[slot].start = answer_start;
      }
      std::lock_guard<std::mutex> hold(transfer->hashing);
      if (transfer->digest && transfer->hashed > answer_start) {
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
      if (!result.ok()) return fail(result.outcome, result.error);
      transfer->plan.size = next;
    }
    // An answer read to its end leaves the connection for the next
    // request, unless the server closes it; one cut short by another
    // connection's split is closed with the rest unread.
    std::string connection;
    exchange.reusable =
        ranged && remaining == 0 && framing == Framing::kLength && !overrun &&
        !(FieldValue(head, "connection", &connection) &&
          LowerAscii(connection).find("close") != std::string::npos);
    if (!exchange.reusable) open->reset();  // `head` goes with it
    result = StepResult();
    result.status = status;
    return result;
  }
  return fail(outcome, why);
}

}  // namespace vorn
