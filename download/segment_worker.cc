// The segment workers: each fetches one range (or, without range support,
// the whole file) on a thread of its own into a segment file of its own.
//
// A worker writes only body bytes that belong to its segment: it reads the
// whole response header first (however the network splits it), believes
// the answer only when it names exactly what was asked for (the range, the
// planned total, no coding of the body, a length that agrees), stops when
// its range is complete (a keep-alive server would otherwise hold it until
// the server's own time-out), and never writes past the range. A failed
// connection, a wrong answer, a stall or a failed write ends the segment
// early with what it holds kept; the join then sees the segment as
// incomplete. Each worker leaves its outcome in its own slot.
//
// Body bytes move in blocks of kSegmentBlockBytes: a worker fills its one
// buffer from the socket and writes it out whole, so a gigabyte costs a few
// thousand system calls per connection, not a million.
#include <algorithm>
#include <memory>

#include "download/downloader.h"
#include "download/response_header.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace vorn {

std::string Downloader::ReadHeaderLine(const char* buffer, int* position,
                                       int size) {
  std::string line;
  while (*position < size) {
    char c = buffer[(*position)++];
    if (c == '\n') return line;
    if (c == '\r') continue;
    line.push_back(c);  // a zero byte counts like any other
  }
  return line;
}

int32_t Downloader::GetHeaderLength(const char* buffer, int size) {
  bool found = false;
  return ScanHeader(buffer, size, &found);
}

uint32_t SegmentThreadProc(void* arg) {
  auto* downloader = static_cast<Downloader*>(arg);
  int index = platform::AtomicFetchIncrement(downloader->worker_counter());
  downloader->DownloadSegment(index);
  return 0;
}

bool Downloader::AnswerFitsSegment(const ResponseHead& head, int index,
                                   int64_t* body_bytes) const {
  if (BodyIsCoded(head)) return false;
  int64_t length = 0;
  LengthField length_field = ReadContentLength(head, &length);
  if (length_field == LengthField::kInvalid) return false;
  if (range_supported_ != 0) {
    const SegmentRange& range = record_.ranges[index];
    int64_t first = 0, last = 0, total = 0;
    if (head.status != 206 || !ReadContentRange(head, &first, &last, &total) ||
        first != range.start || last != range.end ||
        total != static_cast<int64_t>(server_file_size_)) {
      return false;
    }
    *body_bytes = last - first + 1;
  } else {
    // The whole file, as the probe's answer sized it.
    if (head.status < 200 || head.status > 299 || head.status == 206) {
      return false;
    }
    *body_bytes = ExpectedSegmentBytes(0);
  }
  return length_field == LengthField::kAbsent || length == *body_bytes;
}

void Downloader::DownloadSegment(int index) {
  if (index < 0 || index >= kSegmentCount) return;
  SegmentResult& result = segment_results_[index];
  const bool ranged = range_supported_ != 0;
  SegmentRange& range = record_.ranges[index];
  // A segment that an earlier run completed is not requested again.
  if (ranged && range.start > range.end) {
    result = SegmentResult::kComplete;
    return;
  }

  // Through the proxy the system names for the server, as the probe went.
  const platform::ProxyRoute route = CurrentRoute();
  const bool proxied = route.kind == platform::ProxyRoute::Kind::kHttpProxy;
  result = route.kind != platform::ProxyRoute::Kind::kDirect
               ? SegmentResult::kProxyConnectFailed
               : SegmentResult::kConnectFailed;
  if (route.kind == platform::ProxyRoute::Kind::kUnsupported) return;
  std::unique_ptr<platform::Socket> socket = env_->network->NewSocket();
  if (!socket || !socket->Connect(proxied ? route.host : host_,
                                  proxied ? route.port : port_,
                                  connect_timeout_ms_)) {
    return;
  }
  socket->SetReceiveTimeout(receive_timeout_ms_);
  std::string request = BuildSegmentRequest(index, route);
  result = SegmentResult::kBroken;
  if (socket->Send(request) != static_cast<int>(request.size())) return;

  // Receive until the header's blank line is in hand.
  std::unique_ptr<char[]> block(new char[kSegmentBlockBytes]);
  std::string received;
  int32_t header_length = 0;
  for (;;) {
    int n = socket->Receive(block.get(), kSegmentBlockBytes);
    if (n <= 0) return;
    received.append(block.get(), static_cast<size_t>(n));
    bool found = false;
    header_length = ScanHeader(
        received.data(),
        static_cast<int>(std::min<size_t>(received.size(), kMaxHeaderBytes)),
        &found);
    if (found) break;
    result = SegmentResult::kWrongAnswer;
    if (received.size() >= static_cast<size_t>(kMaxHeaderBytes)) return;
    result = SegmentResult::kBroken;
  }

  result = SegmentResult::kWrongAnswer;
  ResponseHead head;
  int64_t remaining = 0;  // body bytes this answer still owes the segment
  if (!ReadResponseHead(received.substr(0, header_length), &head)) return;
  if (proxied &&
      (head.status == 407 || head.status == 502 || head.status == 504)) {
    result = SegmentResult::kProxyError;
    return;
  }
  if (!AnswerFitsSegment(head, index, &remaining)) return;

  result = SegmentResult::kWriteFailed;
  platform::OpenMode mode = platform::OpenMode::kCreateTruncate;
  // A kept plan continues the segment file (a missing one counts as
  // empty); one connection always starts the file from its first byte.
  if (ranged && resume_flag_ != 0) mode = platform::OpenMode::kWriteCreateKeep;
  std::unique_ptr<platform::File> file =
      env_->files->Open(SegmentFilePath(index), mode);
  if (!file || !file->SeekToEnd()) return;

  int32_t bytes_written = 0;
  auto write_body = [&](const char* data, int64_t n) {
    if (n > remaining) n = remaining;
    if (n <= 0) return true;
    if (!file->Write(data, n)) return false;
    bytes_written += static_cast<int32_t>(n);
    remaining -= n;
    return true;
  };
  if (!write_body(received.data() + header_length,
                  static_cast<int64_t>(received.size()) - header_length)) {
    file->Close();
    return;
  }
  received.clear();
  received.shrink_to_fit();

  result = SegmentResult::kBroken;
  bool stopped = false;
  while (remaining > 0) {
    // Fill the block (or what the segment still owes), then write it whole.
    int64_t want = std::min<int64_t>(remaining, kSegmentBlockBytes);
    int64_t filled = 0;
    int r = 1;
    while (filled < want) {
      if (platform::AtomicLoad(&stop_flags_[index]) != 0) {
        stopped = true;
        break;
      }
      r = socket->Receive(block.get() + filled,
                          static_cast<int>(want - filled));
      if (r <= 0) break;  // closed, failed or stalled
      filled += r;
    }
    if (!write_body(block.get(), filled)) {
      result = SegmentResult::kWriteFailed;
      break;
    }
    if (stopped || r <= 0) break;
  }
  if (stopped) {
    // Stopped: the range now begins at the first byte not yet written.
    range.start += bytes_written;
  }
  if (!file->Close()) {
    result = SegmentResult::kWriteFailed;
    return;
  }
  if (remaining == 0 && result == SegmentResult::kBroken) {
    result = SegmentResult::kComplete;
  }
}

}  // namespace vorn
