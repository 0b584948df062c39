// Downloader::ParseResponseHeader: reads a probe answer and follows
// redirects by changing the Downloader.
#include "download/response_header.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "download/http_date.h"
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

int32_t ScanHeader(const char* bytes, int size, bool* found) {
  int position = 0;
  while (position < size) {
    std::string line = Downloader::ReadHeaderLine(bytes, &position, size);
    bool ended_by_lf = position > 0 && bytes[position - 1] == '\n';
    if (line.empty() && ended_by_lf) {
      *found = true;
      return position;
    }
  }
  *found = false;
  return position;
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

LengthField ReadContentLength(const ResponseHead& head, int64_t* length) {
  bool found = false;
  uint64_t value = 0;
  for (const auto& field : head.fields) {
    if (field.first != "content-length") continue;
    uint64_t this_value = 0;
    if (!ParseDigits(field.second, static_cast<uint64_t>(kMaxBodyBytes),
                     &this_value)) {
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
                      int64_t* total) {
  std::string value, span, total_text;
  if (!ContentRangeValue(head, &value)) return false;
  if (!SplitContentRange(value, &span, &total_text)) return false;
  size_t dash = span.find('-');
  if (dash == std::string::npos) return false;
  uint64_t a = 0, b = 0, t = 0;
  const uint64_t max = static_cast<uint64_t>(kMaxBodyBytes);
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

bool BodyIsCoded(const ResponseHead& head) {
  std::string value;
  if (FieldValue(head, "transfer-encoding", &value)) return true;
  for (const auto& field : head.fields) {
    if (field.first == "content-encoding" &&
        LowerAscii(field.second) != "identity") {
      return true;
    }
  }
  return false;
}

bool IsRequestSafe(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// The header is read line by line; fields are found by their whole name.
// The status is the three digits after the version, classified as an
// unsigned number: 300-399 redirect, 500 and above server error, 416 with
// the total of a small file (the probe skipped its first 100 bytes) the
// size of that file, other 400-499 failure, 200-299 success.
//
// A success is believed only when the answer frames itself consistently:
// a 206 must name the range the probe asked for (bytes 100 to the end) and
// a total that agrees with its Content-Length; a 200 must carry one
// Content-Length; neither may apply a transfer or content coding. A
// Last-Modified that gives no time leaves the current time in place, as a
// missing one does.
ProbeResult Downloader::ParseResponseHeader(const char* text,
                                            int32_t* content_length,
                                            int32_t* status, Time64* modified) {
  *content_length = 0;
  *status = 0;
  *modified = Time64::Now(env_->clock);
  probe_failure_ = ProbeFailure::kBadAnswer;

  ResponseHead head;
  if (!ReadResponseHead(text != nullptr ? text : "", &head)) {
    return kProbeFailed;
  }
  *status = head.status;

  const uint32_t code = static_cast<uint32_t>(*status);
  if (code >= 300 && code <= 399) {
    std::string target;
    bool several = false;
    if (!FieldValue(head, "location", &target, &several) || several) {
      probe_failure_ = ProbeFailure::kBadRedirect;
      return kProbeFailed;
    }
    // The target is followed lower-cased, as the whole answer once was.
    target = LowerAscii(target);

    // The URL that answered with the redirect is the referer of whatever
    // comes next, whether or not the target can be followed.
    referer_ = current_url_;

    // Nothing of the server's choosing that would end or split a request
    // line goes on the wire.
    probe_failure_ = ProbeFailure::kBadRedirect;
    if (!IsRequestSafe(target)) return kProbeFailed;

    if (Find(target, "http://") >= 0) {
      current_url_ = target;
      if (!ParseUrl(target)) return kProbeFailed;
      probe_failure_ = ProbeFailure::kNone;
      return kProbeRedirected;
    }

    target = ReplaceAll(target, "\\", "/");
    if (!target.empty() && target[0] == '/') {
      // Root-relative: same host, port and current URL, new path.
      path_ = target;
      probe_failure_ = ProbeFailure::kNone;
      return kProbeRedirected;
    }

    // Relative: every "../" counts and cuts, wherever it stands; the target
    // keeps what follows the last one. The first cut of the current URL
    // drops the file name, each further one a directory, running on into
    // the host part when the path is used up.
    int ups = 0;
    int keep_from = 0;
    for (;;) {
      int up = Find(target, "../", keep_from);
      if (up < 0) break;
      keep_from = up + 3;
      ++ups;
    }
    target = Mid(target, keep_from);
    std::string base = current_url_;
    for (int cut = 0; cut <= ups; ++cut) {
      int slash = ReverseFind(base, '/');
      if (slash < 0) break;  // no further cut changes it
      base = Left(base, slash);
    }
    current_url_ = base + "/" + target;
    if (!ParseUrl(current_url_)) return kProbeFailed;
    probe_failure_ = ProbeFailure::kNone;
    return kProbeRedirected;
  }
  if (code >= 500) {
    probe_failure_ = ProbeFailure::kServerError;
    return kProbeServerError;
  }

  int64_t length = 0;
  if (code == 416) {
    // A file of 100 bytes or less has nothing from offset 100 on; its size
    // comes with the refusal.
    int64_t total = 0;
    if (!ReadUnsatisfiedRange(head, &total) || total > 100) {
      probe_failure_ = ProbeFailure::kRefused;
      return kProbeFailed;
    }
    length = total;
  } else if (code >= 400) {
    probe_failure_ = ProbeFailure::kRefused;
    return kProbeFailed;
  } else if (code < 200) {
    return kProbeFailed;
  } else {
    if (BodyIsCoded(head)) return kProbeFailed;
    if (ReadContentLength(head, &length) != LengthField::kValid) {
      return kProbeFailed;
    }
    if (code == 206) {
      int64_t first = 0, last = 0, total = 0;
      if (!ReadContentRange(head, &first, &last, &total) || first != 100 ||
          last != total - 1 || length != total - 100) {
        return kProbeFailed;
      }
    }
  }
  *content_length = static_cast<int32_t>(length);

  probe_failure_ = ProbeFailure::kNone;
  std::string date_text;
  if (!FieldValue(head, "last-modified", &date_text)) return kProbeOk;
  Time64 date;
  if (ParseHttpDate(env_->clock, LowerAscii(date_text).c_str(), &date)) {
    *modified = date;
  }
  return kProbeOk;
}

}  // namespace vorn
