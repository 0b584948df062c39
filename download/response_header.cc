// The head of an HTTP answer: received from a socket, read into fields and
// checked, with the readers of the fields the downloader believes.
#include "download/response_header.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/text.h"

namespace vorn {

namespace {

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

std::string TrimBlanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlankOrTab(text[begin])) ++begin;
  while (end > begin && IsBlankOrTab(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The status line "HTTP/<version>", blanks, three digits, then nothing or
// a blank and the reason phrase.
bool ReadStatusLine(const std::string& line, int32_t* status) {
  if (LowerAscii(Left(line, 5)) != "http/") return false;
  size_t at = line.find(' ');
  if (at == std::string::npos) return false;
  while (at < line.size() && line[at] == ' ') ++at;
  if (at + 3 > line.size()) return false;
  uint64_t code = 0;
  if (!ParseDigits(line.substr(at, 3), 999, &code)) return false;
  if (at + 3 < line.size() && line[at + 3] != ' ') return false;
  *status = static_cast<int32_t>(code);
  return true;
}

// "A-B" or "*" after "bytes ", then "/TOTAL".
bool SplitContentRange(const std::string& value, std::string* span,
                       std::string* total) {
  std::string lower = LowerAscii(value);
  if (lower.compare(0, 6, "bytes ") != 0) return false;
  std::string rest = TrimBlanks(lower.substr(6));
  size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  *span = rest.substr(0, slash);
  *total = rest.substr(slash + 1);
  return true;
}

// A Content-Range value alone: the field must be there exactly once.
bool ContentRangeValue(const ResponseHead& head, std::string* value) {
  bool several = false;
  int count = 0;
  for (const auto& field : head.fields) {
    if (field.first == "content-range") ++count;
  }
  return count == 1 && FieldValue(head, "content-range", value, &several);
}

}  // namespace

namespace {

// The offset just after the head's blank line in `buffer`, scanning from
// `*scanned` (where the last call stopped; `*in_line` says whether the line
// there has content), or 0 when the blank line is not in yet.
size_t ScanForBlankLine(const std::string& buffer, size_t* scanned,
                        bool* in_line) {
  for (size_t i = *scanned; i < buffer.size(); ++i) {
    char c = buffer[i];
    if (c == '\n') {
      if (!*in_line) {
        *scanned = i + 1;
        return i + 1;
      }
      *in_line = false;
    } else if (c != '\r') {
      *in_line = true;  // a zero byte counts like any other
    }
  }
  *scanned = buffer.size();
  return 0;
}

// Whether a head is an interim answer that a final one follows.
bool IsInterim(const std::string& head) {
  ResponseHead read;
  return ReadResponseHead(head, &read) && read.status >= 100 &&
         read.status <= 199 && read.status != 101;
}

}  // namespace

HeadRead ReceiveHead(platform::Socket* socket, size_t chunk,
                     std::string* buffer, size_t* head_bytes,
                     const HeadBound* bound) {
  const int64_t start = bound != nullptr ? bound->clock->MonotonicMillis() : 0;
  struct RestoreTimeout {
    platform::Socket* socket;
    const HeadBound* bound;
    ~RestoreTimeout() {
      if (bound != nullptr) socket->SetReceiveTimeout(bound->receive_ms);
    }
  } restore{socket, bound};
  size_t scanned = 0;
  bool in_line = false;
  // Interim heads count towards the bound too: a server cannot keep a
  // probe reading them for ever.
  size_t dropped = 0;
  for (;;) {
    size_t end = ScanForBlankLine(*buffer, &scanned, &in_line);
    if (end != 0 && dropped + end <= static_cast<size_t>(kMaxHeaderBytes)) {
      if (!IsInterim(buffer->substr(0, end))) {
        *head_bytes = end;
        return HeadRead::kComplete;
      }
      buffer->erase(0, end);
      dropped += end;
      scanned = 0;
      in_line = false;
      continue;
    }
    if (dropped + std::min(scanned, buffer->size()) >=
        static_cast<size_t>(kMaxHeaderBytes)) {
      return HeadRead::kTooLong;
    }
    if (bound != nullptr) {
      int64_t left = static_cast<int64_t>(bound->head_ms) -
                     (bound->clock->MonotonicMillis() - start);
      if (left <= 0) return HeadRead::kTimedOut;
      if (bound->receive_ms == 0 || left < bound->receive_ms) {
        socket->SetReceiveTimeout(static_cast<uint32_t>(left));
      }
    }
    size_t old_size = buffer->size();
    buffer->resize(old_size + chunk);
    int n = socket->Receive(&(*buffer)[old_size], static_cast<int>(chunk));
    buffer->resize(old_size + static_cast<size_t>(n > 0 ? n : 0));
    if (n == 0) return HeadRead::kEnded;
    if (n < 0) return HeadRead::kFailed;
  }
}

bool ReadResponseHead(const std::string& header, ResponseHead* out) {
  out->status = 0;
  out->fields.clear();
  if (header.find('\0') != std::string::npos) return false;
  size_t pos = 0;
  bool first = true;
  while (pos < header.size()) {
    size_t end = header.find('\n', pos);
    if (end == std::string::npos) end = header.size();
    std::string line = header.substr(pos, end - pos);
    pos = end + 1;
    // CR bytes are dropped wherever they stand in a line, as the blank
    // line's scan drops them.
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (first) {
      if (!ReadStatusLine(TrimBlanks(line), &out->status)) return false;
      first = false;
      continue;
    }
    if (line.empty()) break;  // the blank line
    // A line that starts with a blank continues the one before: an
    // obsolete form whose meaning clients disagree on.
    if (IsBlankOrTab(line[0])) return false;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = line.substr(0, colon);
    for (char c : name) {
      if (IsBlankOrTab(c)) return false;
    }
    out->fields.emplace_back(LowerAscii(name),
                             TrimBlanks(line.substr(colon + 1)));
  }
  return !first;
}

bool FieldValue(const ResponseHead& head, const std::string& name,
                std::string* value, bool* several) {
  bool found = false;
  if (several != nullptr) *several = false;
  for (const auto& field : head.fields) {
    if (field.first != name) continue;
    if (!found) {
      *value = field.second;
      found = true;
    } else if (field.second != *value && several != nullptr) {
      *several = true;
    }
  }
  return found;
}

LengthField ReadContentLength(const ResponseHead& head, int64_t* length,
                              int64_t max) {
  bool found = false;
  uint64_t value = 0;
  for (const auto& field : head.fields) {
    if (field.first != "content-length") continue;
    uint64_t this_value = 0;
    if (!ParseDigits(field.second, static_cast<uint64_t>(max), &this_value)) {
      return LengthField::kInvalid;
    }
    if (found && this_value != value) return LengthField::kInvalid;
    value = this_value;
    found = true;
  }
  if (!found) return LengthField::kAbsent;
  *length = static_cast<int64_t>(value);
  return LengthField::kValid;
}

bool ReadContentRange(const ResponseHead& head, int64_t* first, int64_t* last,
                      int64_t* total, int64_t max_value) {
  std::string value, span, total_text;
  if (!ContentRangeValue(head, &value)) return false;
  if (!SplitContentRange(value, &span, &total_text)) return false;
  size_t dash = span.find('-');
  if (dash == std::string::npos) return false;
  uint64_t a = 0, b = 0, t = 0;
  const uint64_t max = static_cast<uint64_t>(max_value);
  if (!ParseDigits(span.substr(0, dash), max, &a) ||
      !ParseDigits(span.substr(dash + 1), max, &b) ||
      !ParseDigits(total_text, max, &t) || a > b || b >= t) {
    return false;
  }
  *first = static_cast<int64_t>(a);
  *last = static_cast<int64_t>(b);
  *total = static_cast<int64_t>(t);
  return true;
}

bool ReadUnsatisfiedRange(const ResponseHead& head, int64_t* total) {
  std::string value, span, total_text;
  if (!ContentRangeValue(head, &value)) return false;
  if (!SplitContentRange(value, &span, &total_text) || span != "*") {
    return false;
  }
  uint64_t t = 0;
  if (!ParseDigits(total_text, static_cast<uint64_t>(kMaxBodyBytes), &t)) {
    return false;
  }
  *total = static_cast<int64_t>(t);
  return true;
}

Framing ReadFraming(const ResponseHead& head, int64_t* length, int64_t max) {
  int codings = 0;
  for (const auto& field : head.fields) {
    if (field.first == "content-encoding" &&
        LowerAscii(field.second) != "identity") {
      return Framing::kInvalid;
    }
    // Parts with heads of their own between them are no file's bytes,
    // whatever the status says.
    if (field.first == "content-type" &&
        LowerAscii(field.second).rfind("multipart/byteranges", 0) == 0) {
      return Framing::kInvalid;
    }
    // Chunked is the one transfer coding decoded, and it must be the only
    // one: a list or a second field applies others too.
    if (field.first == "transfer-encoding" &&
        (++codings > 1 || LowerAscii(field.second) != "chunked")) {
      return Framing::kInvalid;
    }
  }
  const LengthField length_field = ReadContentLength(head, length, max);
  // A chunked answer with a Content-Length frames itself twice (RFC 9112
  // forbids it): neither can be believed.
  if (codings == 1) {
    return length_field == LengthField::kAbsent ? Framing::kChunked
                                                : Framing::kInvalid;
  }
  switch (length_field) {
    case LengthField::kValid:
      return Framing::kLength;
    case LengthField::kAbsent:
      return Framing::kClose;
    default:
      return Framing::kInvalid;
  }
}

bool IsWholeFileStatus(int32_t code) {
  return code == 200 || (code >= 209 && code <= 299 && code != 226);
}

bool IsRequestSafe(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace vorn
