// The header of an HTTP answer, read whole and checked before anything of
// the answer is believed. The probe and the segment workers read their
// answers through it.
#ifndef VORN_DOWNLOAD_RESPONSE_HEADER_H_
#define VORN_DOWNLOAD_RESPONSE_HEADER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

// A header through its blank line, at most this long; a longer one is not
// an answer we can trust.
constexpr int kMaxHeaderBytes = 16 * 1024;

// The largest body length the 32-bit offsets of a download can hold.
constexpr int64_t kMaxBodyBytes = 0x7FFFFFFF;

struct ResponseHead {
  int32_t status = 0;
  // Field names lower-cased, values trimmed of blanks and tabs, in the
  // order they came.
  std::vector<std::pair<std::string, std::string>> fields;
};

// Where the header's blank line ends in the first `size` bytes: the offset
// just after the LF of the first line that is empty once its CR bytes are
// dropped. *found tells whether one ended inside the bytes; without one the
// result is `size`.
int32_t ScanHeader(const char* bytes, int size, bool* found);

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
// digits only, at most kMaxBodyBytes.
LengthField ReadContentLength(const ResponseHead& head, int64_t* length);

// Content-Range "bytes FIRST-LAST/TOTAL" with digits only (a total of "*"
// or an unsatisfied "bytes */TOTAL" is refused here). False when absent,
// repeated or malformed.
bool ReadContentRange(const ResponseHead& head, int64_t* first, int64_t* last,
                      int64_t* total);
// The total of an unsatisfied range answer, "bytes */TOTAL".
bool ReadUnsatisfiedRange(const ResponseHead& head, int64_t* total);

// Whether the body is framed or coded in a way the downloader does not
// decode: any Transfer-Encoding, or a Content-Encoding other than identity.
bool BodyIsCoded(const ResponseHead& head);

// Whether `text` can go into a request line or a header field as it is:
// no control byte (0x00-0x1F, 0x7F) and no blank.
bool IsRequestSafe(const std::string& text);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_RESPONSE_HEADER_H_
