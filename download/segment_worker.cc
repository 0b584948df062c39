// The segment workers: each fetches one range (or, without range support,
// the whole file) on a thread of its own into a segment file of its own.
//
// A worker writes only body bytes that belong to its segment: it reads the
// whole response header first (however the network splits it), accepts only
// the answer its request asked for, stops when its range is complete (a
// keep-alive server would otherwise hold it until the server's own
// time-out), and never writes past the range. A failed connection, a wrong
// answer, a stall or a failed write ends the segment early with what it
// holds kept; the merge then sees the segment as incomplete.
#include <cstring>

#include "download/downloader.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace vorn {

namespace {

// Scans `size` bytes for the first line that is empty once its CR bytes are
// dropped; *found tells whether one ended inside the bytes.
int32_t ScanHeader(const char* buffer, int size, bool* found) {
  int position = 0;
  while (position < size) {
    std::string line = Downloader::ReadHeaderLine(buffer, &position, size);
    bool ended_by_lf = position > 0 && buffer[position - 1] == '\n';
    if (line.empty() && ended_by_lf) {
      *found = true;
      return position;
    }
  }
  *found = false;
  return position;
}

// The header's status code: the word after the first blank of the first
// line, read as atoi reads it.
int32_t StatusCode(const std::string& header) {
  std::string first = header.substr(0, header.find('\n'));
  first = Trim(first);
  int blank = Find(first, " ");
  if (blank < 0) return 0;
  return Atoi(Mid(first, blank + 1));
}

// The trimmed value of header field `name` (lower-case, with its colon), or
// false when the header has no such field at the start of a line.
bool FieldValue(const std::string& lower_header, const std::string& name,
                std::string* value) {
  int at = Find(lower_header, "\n" + name);
  if (at < 0) return false;
  int begin = at + 1 + static_cast<int>(name.size());
  int end = Find(lower_header, "\n", begin);
  if (end < 0) end = static_cast<int>(lower_header.size());
  *value = Trim(Mid(lower_header, begin, end - begin));
  return true;
}

}  // namespace

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

void Downloader::DownloadSegment(int index) {
  if (index < 0 || index >= kSegmentCount) return;
  const bool ranged = range_supported_ != 0;
  SegmentRange& range = record_.ranges[index];
  // A segment that an earlier run completed is not requested again.
  if (ranged && range.start > range.end) return;

  std::unique_ptr<platform::Socket> socket = env_->network->NewSocket();
  if (!socket || !socket->Connect(host_, port_, connect_timeout_ms_)) return;
  socket->SetReceiveTimeout(receive_timeout_ms_);
  std::string request = BuildSegmentRequest(index);
  if (socket->Send(request) != static_cast<int>(request.size())) return;

  // Receive until the header's blank line is in hand.
  char buffer[kReceiveBufferBytes];
  std::string received;
  int32_t header_length = 0;
  for (;;) {
    std::memset(buffer, 0, sizeof(buffer));
    int n = socket->Receive(buffer, kReceiveBufferBytes);
    if (n <= 0) return;
    received.append(buffer, static_cast<size_t>(n));
    bool found = false;
    header_length =
        ScanHeader(received.data(), static_cast<int>(received.size()), &found);
    if (found) break;
    if (received.size() >= static_cast<size_t>(kMaxSegmentHeaderBytes)) return;
  }

  // Only the answer that was asked for is written: 206 for the range
  // (starting where the range starts), any 2xx for the whole file.
  std::string header = LowerAscii(received.substr(0, header_length));
  int32_t status = StatusCode(header);
  int64_t remaining = 0;  // body bytes this answer still owes the segment
  if (ranged) {
    if (status != 206) return;
    std::string content_range;
    if (FieldValue(header, "content-range:", &content_range)) {
      int bytes = Find(content_range, "bytes");
      std::string first = Trim(Mid(content_range, bytes < 0 ? 0 : bytes + 5));
      if (Atoi(first) != range.start) return;
    }
    remaining = static_cast<int64_t>(range.end) - range.start + 1;
  } else {
    if (status < 200 || status > 299) return;
    std::string value;
    if (FieldValue(header, "transfer-encoding:", &value) &&
        Find(value, "chunked") >= 0) {
      return;  // framing we do not decode would end up in the package
    }
    int64_t expected = ExpectedSegmentBytes(0);
    if (FieldValue(header, "content-length:", &value)) {
      // The file changed since the probe: this answer cannot complete it.
      if (Atoi(value) != expected) return;
    }
    remaining = expected;
  }

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

  for (;;) {
    if (platform::AtomicLoad(&stop_flags_[index]) != 0) {
      // Stopped: the range now begins at the first byte not yet written.
      range.start += bytes_written;
      break;
    }
    if (remaining == 0) break;
    std::memset(buffer, 0, sizeof(buffer));
    int r = socket->Receive(buffer, kReceiveBufferBytes);
    if (r <= 0) break;  // closed, failed or stalled
    if (!write_body(buffer, r)) break;
  }
  file->Close();
}

}  // namespace vorn
