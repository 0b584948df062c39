// The chunked transfer coding of an HTTP body, decoded from bytes as they
// come: no socket here, so any split of the stream can be fed and tested.
#ifndef VORN_DOWNLOAD_CHUNKED_H_
#define VORN_DOWNLOAD_CHUNKED_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn {

// A chunk-size line, its extensions and CRLF included, at most this long:
// the size takes 16 digits, and extensions we ignore have no reason to be
// longer than a page.
constexpr size_t kMaxChunkLineBytes = 4096;

// The hex digits of a chunk size, leading zeros included: 16 hold any size
// an int64_t can count, so more is never a size we can use.
constexpr int kMaxChunkSizeDigits = 16;

// The trailer fields after the last chunk, their closing empty line
// included, at most this long: as much as an answer's head may hold.
constexpr size_t kMaxTrailerBytes = 16 * 1024;

// Decodes one chunked body: chunks of a hex size line (optional ";"
// extensions, ignored), the data and CRLF; a last chunk of size 0; trailer
// fields (read and dropped) and an empty line. Every line ends with CRLF: a
// bare LF, a CR not followed by LF, or a NUL byte is malformed. A size has
// hex digits only (either case), no sign and nothing before it; blanks
// after it only before a ";".
class ChunkedDecoder {
 public:
  enum class State { kMore, kDone, kMalformed };

  // `limit` is the most body bytes the decoder accepts (the size the body
  // was announced with, say), or -1 for no limit but int64_t's. A chunk
  // whose size would take the body past it is malformed as soon as its size
  // line ends, before any of its data.
  explicit ChunkedDecoder(int64_t limit = -1);

  // Feeds `n` bytes of the stream; appends the body bytes among them to
  // *out and sets *used to how many of the `n` it read.
  //   kMore: *used == n; the body is not complete yet.
  //   kDone: the empty line after the trailers was read; *used stops just
  //     after its LF, and the bytes past it belong to whatever follows.
  //   kMalformed: *used stops before the byte found wrong; fault() says
  //     why. The body bytes appended before stay in *out.
  // Once kDone or kMalformed, every later call returns the same state with
  // *used = 0 and appends nothing.
  State Feed(const char* data, size_t n, std::string* out, size_t* used);

  State state() const;
  // The body bytes decoded so far.
  int64_t decoded() const { return decoded_; }
  // Why the body is malformed: a short constant text, "" unless kMalformed.
  const char* fault() const { return fault_; }
  // Whether it is malformed only for a chunk that would pass the limit.
  bool over_limit() const { return over_limit_; }

 private:
  // Where the next byte falls.
  enum class Step {
    kSizeDigits,    // the chunk size
    kSizeBlanks,    // blanks after the size, before a ";"
    kExtension,     // after a ";", up to the CR
    kSizeLf,        // the LF ending a size line
    kData,          // the chunk's data
    kDataCr,        // the CR after the data
    kDataLf,        // the LF after the data
    kTrailerStart,  // the first byte of a trailer line (or the empty line)
    kTrailerName,   // a trailer field's name, up to its colon
    kTrailerValue,  // the rest of a trailer line, up to the CR
    kTrailerLf,     // the LF ending a trailer field line
    kEndLf,         // the LF of the empty line that ends the body
    kDone,
    kMalformed,
  };

  // Reads one byte of a line (everything but the data); false once it
  // makes the body malformed.
  bool ReadLineByte(char c);
  bool ReadSizeByte(char c);
  bool ReadTrailerByte(char c);
  // The size line ended: the next chunk's data, or the trailers.
  bool EndSizeLine();
  bool Fail(const char* why);

  int64_t limit_;
  Step step_ = Step::kSizeDigits;
  int64_t decoded_ = 0;
  uint64_t size_ = 0;      // the size read so far on the size line
  int size_digits_ = 0;    // its digits so far
  size_t line_bytes_ = 0;  // bytes of the size line so far
  int64_t remaining_ = 0;  // data bytes of the chunk still to come
  size_t trailer_bytes_ = 0;
  const char* fault_ = "";
  bool over_limit_ = false;
};

}  // namespace vorn

#endif  // VORN_DOWNLOAD_CHUNKED_H_
