// ChunkedDecoder over tables of streams: each valid one fed whole, one byte
// at a time and split at every position gives the same body and stops at
// the same byte, every prefix of it is incomplete; each malformed one is
// refused at the same byte and for the same reason however it is split.
#include "download/chunked.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vorn {
namespace {

using State = ChunkedDecoder::State;

struct Result {
  State state = State::kMore;
  size_t used = 0;
  std::string out;
  int64_t decoded = 0;
  std::string fault;
  bool over_limit = false;
};

// Feeds `input` in pieces ending at each of `cuts` (ascending) and at its
// end, stopping at the first state that is not kMore.
Result FeedPieces(const std::string& input, std::vector<size_t> cuts,
                  int64_t limit) {
  cuts.push_back(input.size());
  ChunkedDecoder decoder(limit);
  Result r;
  size_t from = 0;
  for (size_t cut : cuts) {
    size_t used = 0;
    r.state = decoder.Feed(input.data() + from, cut - from, &r.out, &used);
    EXPECT_LE(used, cut - from);
    // While incomplete, a piece is read whole.
    if (r.state == State::kMore) {
      EXPECT_EQ(cut - from, used);
    }
    r.used += used;
    from = cut;
    if (r.state != State::kMore) break;
  }
  r.decoded = decoder.decoded();
  r.fault = decoder.fault();
  r.over_limit = decoder.over_limit();
  EXPECT_EQ(r.state, decoder.state());
  return r;
}

// Every split of `input` in two, and one byte per piece, read as it whole.
void ExpectSplitsAgree(const std::string& input, int64_t limit,
                       const Result& whole) {
  std::vector<size_t> bytes;
  for (size_t i = 1; i < input.size(); ++i) bytes.push_back(i);
  std::vector<std::vector<size_t>> splits = {bytes};
  for (size_t i = 0; i <= input.size(); ++i) splits.push_back({i});
  for (const std::vector<size_t>& cuts : splits) {
    Result r = FeedPieces(input, cuts, limit);
    SCOPED_TRACE(cuts.size() == 1 ? "split at " + std::to_string(cuts[0])
                                  : "one byte at a time");
    ASSERT_EQ(whole.state, r.state);
    ASSERT_EQ(whole.used, r.used);
    ASSERT_EQ(whole.out, r.out);
    ASSERT_EQ(whole.fault, r.fault);
  }
}

struct ValidCase {
  const char* name;
  std::string input;
  std::string body;
  int64_t limit = -1;
};

void PrintTo(const ValidCase& c, std::ostream* os) { *os << c.name; }

const std::string kTrailerPad(kMaxTrailerBytes, 'v');
const std::string kLinePad(kMaxChunkLineBytes, 'e');

std::vector<ValidCase> ValidCases() {
  using std::string;
  return {
      {"one_chunk", "5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"many_chunks", "3\r\nabc\r\n1\r\nd\r\na\r\n0123456789\r\n0\r\n\r\n",
       "abcd0123456789"},
      {"upper_case_hex", "1F\r\n" + string(31, 'x') + "\r\n0\r\n\r\n",
       string(31, 'x')},
      {"leading_zeros", "0005\r\nhello\r\n000\r\n\r\n", "hello"},
      {"sixteen_digits", "0000000000000005\r\nhello\r\n0\r\n\r\n", "hello"},
      {"extensions", "5;n=v;m=\"a;b\"\r\nhello\r\n0;last\r\n\r\n", "hello"},
      {"blanks_before_extension", "5 \t;n\r\nhello\r\n0\r\n\r\n", "hello"},
      {"size_line_of_the_largest_length",
       "5;" + kLinePad.substr(4) + "\r\nhello\r\n0\r\n\r\n", "hello"},
      {"trailers", "5\r\nhello\r\n0\r\nDigest: abc\r\nX-Empty:\r\n\r\n",
       "hello"},
      {"trailers_of_the_largest_length",
       "0\r\nX: " + kTrailerPad.substr(7) + "\r\n\r\n", ""},
      {"zero_length_body", "0\r\n\r\n", ""},
      // Data is not scanned: line ends, NUL and digits in it are body.
      {"data_with_crlf_and_nul", string("5\r\n\r\n\0\n0\r\n0\r\n\r\n", 15),
       string("\r\n\0\n0", 5)},
      {"body_of_the_limit", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", 5},
  };
}

class ValidTable : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidTable, DecodesTheBody) {
  const ValidCase& c = GetParam();
  // Bytes after the body are the next answer's: left unread.
  const std::string stream = c.input + "HTTP/1.1 200 OK\r\n";
  Result whole = FeedPieces(stream, {}, c.limit);
  ASSERT_EQ(State::kDone, whole.state) << whole.fault;
  EXPECT_EQ(c.input.size(), whole.used);
  EXPECT_EQ(c.body, whole.out);
  EXPECT_EQ(static_cast<int64_t>(c.body.size()), whole.decoded);
  EXPECT_EQ("", whole.fault);
  ExpectSplitsAgree(stream, c.limit, whole);
  for (size_t n = 0; n < c.input.size(); ++n) {
    Result prefix = FeedPieces(c.input.substr(0, n), {}, c.limit);
    ASSERT_EQ(State::kMore, prefix.state) << "prefix of " << n;
    ASSERT_EQ(0u, c.body.find(prefix.out)) << "prefix of " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Chunked, ValidTable, ::testing::ValuesIn(ValidCases()),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

struct MalformedCase {
  const char* name;
  std::string input;
  size_t at;  // the offset of the byte refused
  std::string fault;
  int64_t limit = -1;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

std::vector<MalformedCase> MalformedCases() {
  using std::string;
  const string not_hex = "chunk size not hex";
  const string long_line = "chunk size line too long";
  const string no_crlf = "no CRLF after chunk data";
  const string not_field = "trailer line not a field";
  const string over = "body over its limit";
  const size_t trailer_end = 3 + kMaxTrailerBytes;
  return {
      {"bad_hex_digit", "g\r\n", 0, not_hex},
      {"bad_hex_after_digit", "5g\r\nhello\r\n0\r\n\r\n", 1, not_hex},
      {"plus_sign", "+5\r\nhello\r\n0\r\n\r\n", 0, not_hex},
      {"blank_before_size", " 5\r\nhello\r\n0\r\n\r\n", 0, not_hex},
      {"empty_size_line", "\r\nhello\r\n0\r\n\r\n", 0, not_hex},
      {"bad_second_size", "5\r\nhello\r\nz\r\n", 10, not_hex},
      {"blank_then_line_end", "5 \r\nhello\r\n0\r\n\r\n", 2,
       "blank after chunk size without extension"},
      {"size_line_one_byte_too_long",
       "5;" + kLinePad.substr(3) + "\r\nhello\r\n0\r\n\r\n", kMaxChunkLineBytes,
       long_line},
      {"size_line_without_end", "5;" + kLinePad, kMaxChunkLineBytes, long_line},
      {"seventeen_digits", "10000000000000000\r\n", 16,
       "chunk size of more than 16 digits"},
      {"seventeen_zeros", "00000000000000000\r\n\r\n", 16,
       "chunk size of more than 16 digits"},
      {"size_over_int64", "8000000000000000\r\n", 15, "chunk size too large"},
      {"data_longer_than_size", "3\r\nhello\r\n0\r\n\r\n", 6, no_crlf},
      {"no_crlf_after_data", "5\r\nhello0\r\n\r\n", 8, no_crlf},
      {"cr_then_other_after_data", "5\r\nhello\rX", 9, no_crlf},
      {"bare_lf_after_data", "5\r\nhello\n0\r\n\r\n", 8, no_crlf},
      {"bare_lf_after_size", "5\nhello\r\n0\r\n\r\n", 1,
       "bare LF in chunk size line"},
      {"bare_lf_after_extension", "5;a\nhello\r\n0\r\n\r\n", 3,
       "bare LF in chunk size line"},
      {"cr_cr_after_size", "5\r\rhello", 2, "CR without LF in chunk size line"},
      {"bare_lf_as_last_line", "0\r\n\n", 3, "bare LF in trailers"},
      {"bare_lf_after_trailer", "0\r\nA: b\n\r\n", 7, "bare LF in trailers"},
      {"cr_then_other_last_line", "0\r\n\r\r", 4, "CR without LF in trailers"},
      {"nul_after_size", string("5\0\r\n", 4), 1,
       "NUL byte in chunk size line"},
      {"nul_in_extension", string("5;a\0\r\n", 6), 3,
       "NUL byte in chunk size line"},
      {"nul_in_trailer", string("0\r\nA: \0\r\n\r\n", 11), 6,
       "NUL byte in trailers"},
      {"trailer_without_name", "0\r\n: v\r\n\r\n", 3, not_field},
      {"trailer_folded", "0\r\nA: b\r\n c\r\n\r\n", 9, not_field},
      {"trailer_without_colon", "0\r\nnocolon\r\n\r\n", 10, not_field},
      {"trailers_one_byte_too_long",
       "0\r\nX: " + kTrailerPad.substr(6) + "\r\n\r\n", trailer_end,
       "trailers too long"},
      {"chunk_over_limit", "5\r\nhello\r\n0\r\n\r\n", 2, over, 4},
      {"second_chunk_over_limit", "3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n", 10, over,
       5},
      {"sum_over_int64", "1\r\na\r\n7FFFFFFFFFFFFFFF\r\n", 23, over},
  };
}

class MalformedTable : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedTable, RefusedAtTheSameByte) {
  const MalformedCase& c = GetParam();
  Result whole = FeedPieces(c.input, {}, c.limit);
  ASSERT_EQ(State::kMalformed, whole.state);
  EXPECT_EQ(c.at, whole.used);
  EXPECT_EQ(c.fault, whole.fault);
  // The worker tells a body too long from a malformed one by this alone.
  EXPECT_EQ(c.fault == "body over its limit", whole.over_limit);
  ExpectSplitsAgree(c.input, c.limit, whole);
  // Up to the byte refused, the stream was fine.
  EXPECT_EQ(State::kMore,
            FeedPieces(c.input.substr(0, c.at), {}, c.limit).state);
}

INSTANTIATE_TEST_SUITE_P(Chunked, MalformedTable,
                         ::testing::ValuesIn(MalformedCases()),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// A size as large as an int64_t holds is read; its data is still to come.
TEST(Chunked, LargestSizeWaitsForItsData) {
  Result r = FeedPieces("7fffffffffffffff\r\nabc", {}, -1);
  EXPECT_EQ(State::kMore, r.state);
  EXPECT_EQ("abc", r.out);
  EXPECT_EQ(3, r.decoded);
}

// Two bodies back to back on one connection: the first stops where the
// second starts, and a later feed reads nothing.
TEST(Chunked, StopsAtTheEndOfItsBody) {
  const std::string first = "2\r\nab\r\n0\r\nT: 1\r\n\r\n";
  const std::string stream = first + "1\r\nc\r\n0\r\n\r\n";
  ChunkedDecoder decoder;
  std::string out;
  size_t used = 0;
  ASSERT_EQ(State::kDone,
            decoder.Feed(stream.data(), stream.size(), &out, &used));
  ASSERT_EQ(first.size(), used);
  EXPECT_EQ(State::kDone,
            decoder.Feed(stream.data(), stream.size(), &out, &used));
  EXPECT_EQ(0u, used);
  EXPECT_EQ("ab", out);
  Result second = FeedPieces(stream.substr(first.size()), {}, -1);
  EXPECT_EQ(State::kDone, second.state);
  EXPECT_EQ("c", second.out);
}

TEST(Chunked, MalformedStaysMalformed) {
  ChunkedDecoder decoder;
  std::string out;
  size_t used = 0;
  ASSERT_EQ(State::kMalformed, decoder.Feed("1\r\naX", 5, &out, &used));
  EXPECT_EQ(State::kMalformed, decoder.Feed("\r\n0\r\n\r\n", 7, &out, &used));
  EXPECT_EQ(0u, used);
  EXPECT_EQ("a", out);
  EXPECT_EQ(1, decoder.decoded());
}

}  // namespace
}  // namespace vorn
