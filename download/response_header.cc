// Downloader::ParseResponseHeader: reads a probe answer and follows
// redirects by changing the Downloader.
#include <cstdint>
#include <string>

#include "download/downloader.h"
#include "download/http_date.h"
#include "platform/text.h"

namespace vorn {

namespace {

// The value of the field `name` (lower-case, colon included): the text after
// the first occurrence of the name anywhere in `text` up to the next CR LF,
// trimmed. False when the name or the line end after it is missing.
bool FindFieldValue(const std::string& text, const std::string& name,
                    std::string* value) {
  int at = Find(text, name);
  if (at < 0) return false;
  std::string rest = Mid(text, at + static_cast<int>(name.size()));
  int end = Find(rest, "\r\n");
  if (end < 0) return false;
  *value = Trim(Left(rest, end));
  return true;
}

// True when the number that atoi would read from `text` lies in
// [0, 2^31): a length the 32-bit sizes of a download can hold. atoi itself
// wraps, so the digits are read again here without wrapping.
bool IsRepresentableLength(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlankByte(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint64_t>(text[i] - '0');
    if (value > 0x7FFFFFFFu) return false;
  }
  return !(negative && value != 0);
}

}  // namespace

// The answer is not read line by line: the whole text is lower-cased once
// and every field is found by a plain substring search from its start. So a
// name inside another name (x-content-length, content-location) that stands
// first supplies the value, the first of two equal fields wins, and a name
// that occurs only in the body is found there too.
//
// The status is the word between the first and second blank of the first
// line, read by atoi and classified as an unsigned number: 300-399 redirect,
// 500 and above (negative ones included) server error, 400-499 failure,
// anything lower success.
//
// A Content-Length outside [0, 2 GiB) fails (3): the download's sizes are
// 32-bit and such a length would wrap. A Last-Modified that gives no time
// leaves the current time in place, as a missing one does.
ProbeResult Downloader::ParseResponseHeader(const char* text,
                                            int32_t* content_length,
                                            int32_t* status, Time64* modified) {
  *content_length = 0;
  *status = 0;
  *modified = Time64::Now(env_->clock);

  const std::string copy = LowerAscii(text != nullptr ? text : "");

  int line_end = Find(copy, "\r\n");
  if (line_end < 0) return kProbeFailed;
  std::string status_line = Trim(Left(copy, line_end));
  int first_blank = Find(status_line, " ");
  if (first_blank < 0) return kProbeFailed;
  std::string after_version = Mid(status_line, first_blank + 1);
  int second_blank = Find(after_version, " ");
  if (second_blank < 0) return kProbeFailed;
  *status = Atoi(Left(after_version, second_blank));

  const uint32_t code = static_cast<uint32_t>(*status);
  if (code >= 300 && code <= 399) {
    std::string target;
    if (!FindFieldValue(copy, "location:", &target)) return kProbeFailed;

    // The URL that answered with the redirect is the referer of whatever
    // comes next, whether or not the target can be followed.
    referer_ = current_url_;

    if (Find(target, "http://") >= 0) {
      current_url_ = target;
      return ParseUrl(target) ? kProbeRedirected : kProbeFailed;
    }

    target = ReplaceAll(target, "\\", "/");
    if (!target.empty() && target[0] == '/') {
      // Root-relative: same host, port and current URL, new path.
      path_ = target;
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
    return ParseUrl(current_url_) ? kProbeRedirected : kProbeFailed;
  }
  if (code >= 500) return kProbeServerError;
  if (code >= 400) return kProbeFailed;

  std::string length_text;
  if (!FindFieldValue(copy, "content-length:", &length_text)) {
    return kProbeFailed;
  }
  if (!IsRepresentableLength(length_text)) return kProbeFailed;
  *content_length = Atoi(length_text);

  std::string date_text;
  if (!FindFieldValue(copy, "last-modified:", &date_text)) return kProbeOk;
  Time64 date;
  if (ParseHttpDate(env_->clock, date_text.c_str(), &date)) *modified = date;
  return kProbeOk;
}

}  // namespace vorn
