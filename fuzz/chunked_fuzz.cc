// The chunked decoder over arbitrary streams: the body never holds more
// bytes than came in; feeding the stream in pieces (sized from its own
// bytes) or one byte at a time reads it as fed whole; and a limit of exactly
// the decoded size still accepts a complete body, one byte less refuses it
// as over the limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/chunked.h"

namespace {

using State = vorn::ChunkedDecoder::State;

struct Run {
  State state = State::kMore;
  size_t used = 0;
  std::string out;
  std::string fault;
  bool over_limit = false;
};

// Feeds `size` bytes in pieces of piece(i) bytes (at least one), stopping at
// the first state that is not kMore.
template <typename PieceSize>
Run Feed(const char* data, size_t size, int64_t limit, PieceSize piece) {
  vorn::ChunkedDecoder decoder(limit);
  Run run;
  size_t from = 0;
  for (size_t i = 0; from < size || i == 0; ++i) {
    size_t n = piece(i);
    if (n > size - from) n = size - from;
    size_t used = 0;
    run.state = decoder.Feed(data + from, n, &run.out, &used);
    if (used > n) __builtin_trap();
    if (run.state == State::kMore && used != n) __builtin_trap();
    run.used += used;
    from += n;
    if (run.state != State::kMore) break;
  }
  if (decoder.state() != run.state) __builtin_trap();
  if (decoder.decoded() != static_cast<int64_t>(run.out.size())) {
    __builtin_trap();
  }
  if (run.out.size() > run.used) __builtin_trap();
  if ((run.state == State::kMalformed) != (*decoder.fault() != '\0')) {
    __builtin_trap();
  }
  run.fault = decoder.fault();
  run.over_limit = decoder.over_limit();
  // Over the limit is one of the faults, and the one a limit causes.
  if (run.over_limit != (run.fault == "body over its limit")) __builtin_trap();
  return run;
}

void ExpectSame(const Run& a, const Run& b) {
  if (a.state != b.state || a.used != b.used || a.out != b.out ||
      a.fault != b.fault) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const char* data = reinterpret_cast<const char*>(bytes);
  Run whole = Feed(data, size, -1, [size](size_t) { return size; });
  if (whole.out.size() > size) __builtin_trap();
  ExpectSame(whole, Feed(data, size, -1, [](size_t) { return size_t{1}; }));
  // Piece sizes from the stream itself, so the fuzzer steers the splits.
  ExpectSame(whole, Feed(data, size, -1, [bytes, size](size_t i) {
               return size_t{1} + (size == 0 ? 0 : bytes[i % size] % 7);
             }));
  if (whole.state == State::kDone) {
    int64_t decoded = static_cast<int64_t>(whole.out.size());
    ExpectSame(whole,
               Feed(data, size, decoded, [size](size_t) { return size; }));
    if (decoded > 0) {
      Run short_limit =
          Feed(data, size, decoded - 1, [size](size_t) { return size; });
      if (!short_limit.over_limit) __builtin_trap();
    }
  }
  return 0;
}
