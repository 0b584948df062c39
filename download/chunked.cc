// The chunked transfer coding, decoded one step at a time: the lines byte by
// byte (so a line split anywhere reads the same), the data in runs.
#include "download/chunked.h"

#include <cstdint>
#include <limits>
#include <string>

namespace vorn {

namespace {

constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();

// The value of a hex digit, or -1.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

}  // namespace

ChunkedDecoder::ChunkedDecoder(int64_t limit) : limit_(limit) {}

ChunkedDecoder::State ChunkedDecoder::state() const {
  if (step_ == Step::kDone) return State::kDone;
  if (step_ == Step::kMalformed) return State::kMalformed;
  return State::kMore;
}

bool ChunkedDecoder::Fail(const char* why) {
  step_ = Step::kMalformed;
  fault_ = why;
  return false;
}

ChunkedDecoder::State ChunkedDecoder::Feed(const char* data, size_t n,
                                           std::string* out, size_t* used) {
  size_t at = 0;
  while (at < n && step_ != Step::kDone && step_ != Step::kMalformed) {
    if (step_ == Step::kData) {
      // remaining_ > 0 here: a chunk of size 0 is the last and has no data.
      // Compared as 64 bits: a size_t may be 32 on Win32.
      size_t take = n - at;
      if (static_cast<uint64_t>(remaining_) < take) {
        take = static_cast<size_t>(remaining_);
      }
      out->append(data + at, take);
      at += take;
      remaining_ -= static_cast<int64_t>(take);
      decoded_ += static_cast<int64_t>(take);
      if (remaining_ == 0) step_ = Step::kDataCr;
      continue;
    }
    if (!ReadLineByte(data[at])) break;
    ++at;
  }
  *used = at;
  return state();
}

bool ChunkedDecoder::ReadLineByte(char c) {
  switch (step_) {
    case Step::kSizeDigits:
    case Step::kSizeBlanks:
    case Step::kExtension:
    case Step::kSizeLf:
      // The whole size line counts, its CRLF included.
      if (++line_bytes_ > kMaxChunkLineBytes) {
        return Fail("chunk size line too long");
      }
      return ReadSizeByte(c);
    case Step::kDataCr:
      if (c != '\r') return Fail("no CRLF after chunk data");
      step_ = Step::kDataLf;
      return true;
    case Step::kDataLf:
      if (c != '\n') return Fail("no CRLF after chunk data");
      step_ = Step::kSizeDigits;
      size_ = 0;
      size_digits_ = 0;
      line_bytes_ = 0;
      return true;
    case Step::kTrailerStart:
    case Step::kTrailerName:
    case Step::kTrailerValue:
    case Step::kTrailerLf:
    case Step::kEndLf:
      if (++trailer_bytes_ > kMaxTrailerBytes) {
        return Fail("trailers too long");
      }
      return ReadTrailerByte(c);
    default:
      return false;
  }
}

bool ChunkedDecoder::ReadSizeByte(char c) {
  if (c == '\0') return Fail("NUL byte in chunk size line");
  switch (step_) {
    case Step::kSizeDigits: {
      int digit = HexValue(c);
      if (digit >= 0) {
        if (++size_digits_ > kMaxChunkSizeDigits) {
          return Fail("chunk size of more than 16 digits");
        }
        // 16 digits fit in a uint64_t; the size must fit in an int64_t.
        size_ = size_ * 16 + static_cast<uint64_t>(digit);
        if (size_ > static_cast<uint64_t>(kMaxInt64)) {
          return Fail("chunk size too large");
        }
        return true;
      }
      if (size_digits_ == 0) return Fail("chunk size not hex");
      if (c == ';') {
        step_ = Step::kExtension;
      } else if (IsBlankOrTab(c)) {
        step_ = Step::kSizeBlanks;
      } else if (c == '\r') {
        step_ = Step::kSizeLf;
      } else if (c == '\n') {
        return Fail("bare LF in chunk size line");
      } else {
        return Fail("chunk size not hex");
      }
      return true;
    }
    case Step::kSizeBlanks:
      if (c == ';') {
        step_ = Step::kExtension;
      } else if (!IsBlankOrTab(c)) {
        return Fail("blank after chunk size without extension");
      }
      return true;
    case Step::kExtension:
      // Extensions are not read: any byte but the line's end and NUL.
      if (c == '\r') {
        step_ = Step::kSizeLf;
      } else if (c == '\n') {
        return Fail("bare LF in chunk size line");
      }
      return true;
    case Step::kSizeLf:
      if (c != '\n') return Fail("CR without LF in chunk size line");
      return EndSizeLine();
    default:
      return false;
  }
}

bool ChunkedDecoder::EndSizeLine() {
  int64_t size = static_cast<int64_t>(size_);
  // Both sides stay within int64_t: decoded_ never passes the limit.
  int64_t room = (limit_ >= 0 ? limit_ : kMaxInt64) - decoded_;
  if (size > room) {
    over_limit_ = true;
    return Fail("body over its limit");
  }
  if (size == 0) {
    step_ = Step::kTrailerStart;
    trailer_bytes_ = 0;
  } else {
    step_ = Step::kData;
    remaining_ = size;
  }
  return true;
}

bool ChunkedDecoder::ReadTrailerByte(char c) {
  if (c == '\0') return Fail("NUL byte in trailers");
  switch (step_) {
    case Step::kTrailerStart:
      if (c == '\r') {
        step_ = Step::kEndLf;
      } else if (c == '\n') {
        return Fail("bare LF in trailers");
      } else if (c == ':' || IsBlankOrTab(c)) {
        // No name, or an obsolete folded line: not a field we can frame.
        return Fail("trailer line not a field");
      } else {
        step_ = Step::kTrailerName;
      }
      return true;
    case Step::kTrailerName:
      if (c == ':') {
        step_ = Step::kTrailerValue;
      } else if (c == '\r' || c == '\n' || IsBlankOrTab(c)) {
        return Fail("trailer line not a field");
      }
      return true;
    case Step::kTrailerValue:
      if (c == '\r') {
        step_ = Step::kTrailerLf;
      } else if (c == '\n') {
        return Fail("bare LF in trailers");
      }
      return true;
    case Step::kTrailerLf:
      if (c != '\n') return Fail("CR without LF in trailers");
      step_ = Step::kTrailerStart;
      return true;
    case Step::kEndLf:
      if (c != '\n') return Fail("CR without LF in trailers");
      step_ = Step::kDone;
      return true;
    default:
      return false;
  }
}

}  // namespace vorn
