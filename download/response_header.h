// The header of an HTTP answer, read whole and checked before anything of
// the answer is believed. The probe and the segment workers read their
// answers through it.
#ifndef VORN_DOWNLOAD_RESPONSE_HEADER_H_
#define VORN_DOWNLOAD_RESPONSE_HEADER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/sockets.h"

namespace vorn {

// A header through its blank line, at most this long; a longer one is not
// an answer we can trust.
constexpr int kMaxHeaderBytes = 16 * 1024;

// The largest length or offset a download takes: what a signed 64-bit file
// offset holds. A larger number is no answer to trust.
constexpr int64_t kMaxBodyBytes = INT64_MAX;

struct ResponseHead {
  int32_t status = 0;
  // Field names lower-cased, values trimmed of blanks and tabs, in the
  // order they came.
  std::vector<std::pair<std::string, std::string>> fields;
};

// How a receive of an answer's head ended.
enum class HeadRead {
  kComplete,  // a whole head is in hand
  kEnded,     // the stream ended before one
  kFailed,    // a receive failed or timed out (the socket says why)
  kTooLong,   // kMaxHeaderBytes came without a blank line
  kTimedOut,  // the head did not come whole within its bound
};

// How long a whole head may take, however slowly its bytes come: a server
// that trickles one byte at a time stays within every receive's time-out.
struct HeadBound {
  platform::Clock* clock = nullptr;
  uint32_t receive_ms = 0;  // the socket's time-out of one receive
  uint32_t head_ms = 0;     // the bound of the whole head
};

// Receives from `socket` into `buffer` until it holds a whole final head,
// however the network splits it, `chunk` bytes at most per receive. The
// head ends after the LF of the first line that is empty once its CR bytes
// are dropped; each byte is scanned once, however many receives it takes.
// Interim answers (1xx other than 101) are read and dropped. On kComplete
// `*head_bytes` is the head's length and what follows in `buffer` is the
// start of the body. With a bound, each receive waits at most what is left
// of it, and the socket's own time-out is back in place afterwards.
HeadRead ReceiveHead(platform::Socket* socket, size_t chunk,
                     std::string* buffer, size_t* head_bytes,
                     const HeadBound* bound = nullptr);

// Reads `header` (the bytes through the blank line). False when it cannot
// be trusted: a status line that is not "HTTP/<version>" followed by
// blanks and a three-digit code, a NUL byte, an obsolete folded line, or a
// field line without a colon or with blanks in its name.
bool ReadResponseHead(const std::string& header, ResponseHead* out);

// The value of the one field `name` (lower-case): false when there is none;
// *several is set when there is more than one with different values.
bool FieldValue(const ResponseHead& head, const std::string& name,
                std::string* value, bool* several = nullptr);

enum class LengthField { kAbsent, kValid, kInvalid };
// Content-Length: kInvalid unless every such field holds the same value of
// digits only, at most `max`.
LengthField ReadContentLength(const ResponseHead& head, int64_t* length,
                              int64_t max = kMaxBodyBytes);

// Content-Range "bytes FIRST-LAST/TOTAL" with digits only (a total of "*"
// or an unsatisfied "bytes */TOTAL" is refused here). False when absent,
// repeated or malformed.
bool ReadContentRange(const ResponseHead& head, int64_t* first, int64_t* last,
                      int64_t* total, int64_t max = kMaxBodyBytes);
// The total of an unsatisfied range answer, "bytes */TOTAL".
bool ReadUnsatisfiedRange(const ResponseHead& head, int64_t* total);

// How an answer's body is framed, as the downloader reads it.
enum class Framing {
  kLength,   // a valid Content-Length: that many bytes
  kChunked,  // "Transfer-Encoding: chunked" alone, without Content-Length
  kClose,    // neither: the body ends when the connection closes
  kInvalid,  // an invalid Content-Length, another transfer coding (or more
             // than one), chunked beside a Content-Length, or a
             // Content-Encoding other than identity: nothing we can decode
};
// The framing of `head`'s body; with kLength, *length is the
// Content-Length (read as ReadContentLength does, at most `max`).
Framing ReadFraming(const ResponseHead& head, int64_t* length,
                    int64_t max = kMaxBodyBytes);

// Whether `code` answers a whole-file GET with the file: 200, or a 2xx
// code this client does not know (read as 200). The known others are no
// file: 201-205 say something else happened, 206 is a range, 207 and 208
// are lists, 226 is a delta.
bool IsWholeFileStatus(int32_t code);

// Whether `text` can go into a request line or a header field as it is:
// no control byte (0x00-0x1F, 0x7F) and no blank.
bool IsRequestSafe(const std::string& text);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_RESPONSE_HEADER_H_
