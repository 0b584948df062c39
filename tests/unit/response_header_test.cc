// The head of an answer: ReceiveHead's framing over a scripted socket,
// ReadResponseHead's refusals, and ReadProbeAnswer's reading of a head
// (classification, the Content-Length bound, validators, and redirect
// targets resolved against the URL that answered).
#include "download/response_header.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn {
namespace {

// --- ReceiveHead ---

struct ReceiveCase {
  const char* name;
  std::vector<std::string> chunks;
  int after_chunks;
  HeadRead read;
  std::string head = "";  // kComplete: the final head
  std::string rest = "";  // kComplete: what follows it on the stream
};

void PrintTo(const ReceiveCase& c, std::ostream* os) { *os << c.name; }

const std::string kOkHead = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";

std::vector<ReceiveCase> ReceiveCases() {
  const std::string pad(kMaxHeaderBytes, 'a');
  // A head of exactly kMaxHeaderBytes bytes, its blank line included.
  const std::string fits = "HTTP/1.1 200 OK\r\nX: " +
                           pad.substr(0, kMaxHeaderBytes - 24) + "\r\n\r\n";
  return {
      {"head_then_body", {kOkHead + "BODY"}, 0, HeadRead::kComplete, kOkHead,
       "BODY"},
      {"bare_lf_line_ends", {"HTTP/1.1 200 OK\nA: b\n\nBODY"}, 0,
       HeadRead::kComplete, "HTTP/1.1 200 OK\nA: b\n\n", "BODY"},
      {"blank_line_of_cr_bytes_only", {"HTTP/1.1 200 OK\r\n\r\r\nB"}, 0,
       HeadRead::kComplete, "HTTP/1.1 200 OK\r\n\r\r\n", "B"},
      {"blank_line_split_between_cr_and_lf",
       {"HTTP/1.1 200 OK\r\nA: b\r\n\r", "\nBODY"}, 0, HeadRead::kComplete,
       "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", "BODY"},
      {"interim_heads_dropped",
       {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
        "Link: </s.css>\r\n\r\n",
        "HTTP/1.1 100 Continue\r\n\r\n" + kOkHead + "BODY"},
       0, HeadRead::kComplete, kOkHead, "BODY"},
      {"switching_protocols_is_final",
       {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n" + kOkHead},
       0, HeadRead::kComplete,
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n", kOkHead},
      {"nothing_came", {}, 0, HeadRead::kEnded},
      {"ended_inside_the_head", {"HTTP/1.1 200 OK\r\nA: b\r\n"}, 0,
       HeadRead::kEnded},
      {"ended_after_an_interim_head", {"HTTP/1.1 100 Continue\r\n\r\n"}, 0,
       HeadRead::kEnded},
      {"timed_out_inside_the_head", {"HTTP/1.1 200 OK\r\n"}, -1,
       HeadRead::kFailed},
      {"head_of_the_largest_size", {fits + "B"}, 0, HeadRead::kComplete, fits,
       "B"},
      {"head_one_byte_too_long",
       {"HTTP/1.1 200 OK\r\nX: a" + fits.substr(20)}, 0, HeadRead::kTooLong},
      {"no_blank_line_in_the_bound", {"HTTP/1.1 200 OK\r\nX: " + pad}, 0,
       HeadRead::kTooLong},
      // The interim heads count towards the bound.
      {"interim_heads_past_the_bound",
       {"HTTP/1.1 100 Continue\r\nX: " + pad.substr(0, kMaxHeaderBytes / 2) +
            "\r\n\r\n",
        "HTTP/1.1 200 OK\r\nX: " + pad.substr(0, kMaxHeaderBytes / 2) +
            "\r\n\r\n"},
       0, HeadRead::kTooLong},
  };
}

class ReceiveTable : public ::testing::TestWithParam<ReceiveCase> {};

// Each row runs as scripted, read in the probe's 4096-byte pieces, and again
// with the stream handed out one byte per receive: both give the row.
TEST_P(ReceiveTable, FramesTheFinalHead) {
  const ReceiveCase& c = GetParam();
  std::string stream;
  for (const std::string& chunk : c.chunks) stream += chunk;
  for (bool by_byte : {false, true}) {
    SCOPED_TRACE(by_byte ? "one byte per receive" : "as scripted");
    testing::FakeEnv fake;
    testing::SocketScript script;
    script.after_chunks = c.after_chunks;
    if (by_byte) {
      for (char b : stream) script.chunks.push_back(std::string(1, b));
    } else {
      script.chunks = c.chunks;
    }
    fake.network.Script("s:1", script);
    std::unique_ptr<platform::Socket> socket = fake.network.NewSocket();
    ASSERT_TRUE(socket->Connect("s", 1, 0));
    std::string buffer;
    size_t head_bytes = 0;
    ASSERT_EQ(c.read,
              ReceiveHead(socket.get(), by_byte ? 1 : 4096, &buffer,
                          &head_bytes));
    if (c.read != HeadRead::kComplete) continue;
    ASSERT_LE(head_bytes, buffer.size());
    EXPECT_EQ(c.head, buffer.substr(0, head_bytes));
    // What was received past the head is the start of the rest.
    EXPECT_EQ(0u, c.rest.find(buffer.substr(head_bytes)));
  }
}

INSTANTIATE_TEST_SUITE_P(ResponseHead, ReceiveTable,
                         ::testing::ValuesIn(ReceiveCases()),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// With a bound, a head trickled a byte per receive must still come whole in
// time; each receive taking its second is fine, ten seconds each is not.
TEST(ResponseHeadTest, TrickledHeadWithinItsBound) {
  const std::string head = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
  struct {
    int64_t step_ms;
    HeadRead read;
  } cases[] = {{1000, HeadRead::kComplete}, {10000, HeadRead::kTimedOut}};
  for (const auto& c : cases) {
    testing::FakeEnv fake;
    fake.clock.step_ms = c.step_ms;
    testing::SocketScript script;
    for (char b : head) script.chunks.push_back(std::string(1, b));
    fake.network.Script("s:1", script);
    std::unique_ptr<platform::Socket> socket = fake.network.NewSocket();
    ASSERT_TRUE(socket->Connect("s", 1, 0));
    const HeadBound bound{&fake.clock, kReceiveTimeoutMs, kHeadTimeoutMs};
    std::string buffer;
    size_t head_bytes = 0;
    EXPECT_EQ(c.read, ReceiveHead(socket.get(), 4096, &buffer, &head_bytes,
                                  &bound))
        << c.step_ms;
  }
}

// --- ReadResponseHead ---

TEST(ResponseHeadTest, UntrustedHeadsRefused) {
  const std::string cases[] = {
      "",
      "ICY 200 OK\r\nContent-Length: 5\r\n\r\n",
      "HTTP/1.1 abc def\r\nContent-Length: 3\r\n\r\n",
      "HTTP/1.1 2000 X\r\nContent-Length: 3\r\n\r\n",
      "HTTP/1.1 -1 X\r\n\r\n",
      "HTTP/1.1 20\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length:\r\n 5\r\n\r\n",     // folded
      "HTTP/1.1 200 OK\r\nContent-Length : 9\r\n\r\n",       // blank in name
      "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n34\r\n\r\n",  // no colon
      "HTTP/1.1 200 OK\r\n: 12\r\n\r\n",                      // no name
      std::string("HTTP/1.1 200 OK\r\nServer: x\r\n") + '\0' + "A: 5\r\n\r\n",
  };
  for (const std::string& text : cases) {
    ResponseHead head;
    EXPECT_FALSE(ReadResponseHead(text, &head)) << text;
  }
}

// --- ReadProbeAnswer ---

constexpr char kStart[] = "http://h/a/f.exe";

struct AnswerCase {
  const char* name;
  const char* text;
  ProbeResult result;
  Outcome outcome;
  int32_t status;
  int64_t size;
  bool ranges;
  bool dated;       // Last-Modified 6 Nov 1994 08:49:37 GMT
  const char* next;  // kProbeRedirected: the URL it names
  const char* base = kStart;
  const char* etag = "";
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

constexpr ProbeResult kOk = kProbeOk;
constexpr ProbeResult kFail = kProbeFailed;
constexpr ProbeResult kRedirect = kProbeRedirected;

const AnswerCase kAnswerCases[] = {
    // A success: the true size, whether ranges are served, validators.
    {"partial_with_length_and_date",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
     "Content-Range: bytes 100-999/1000\r\n"
     "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
     kOk, Outcome::kOk, 206, 1000, true, true, nullptr},
    {"whole_file_is_its_content_length",
     "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", kOk, Outcome::kOk, 200,
     1000, false, false, nullptr},
    {"etag_kept_as_sent",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: W/\"Ab-1\"\r\n\r\n", kOk,
     Outcome::kOk, 200, 5, false, false, nullptr, kStart, "W/\"Ab-1\""},
    {"partial_without_content_range_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n\r\n", kFail,
     Outcome::kBadAnswer, 206, 0, false, false, nullptr},
    {"partial_total_disagreeing_with_length_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
     "Content-Range: bytes 100-999/1001\r\n\r\n",
     kFail, Outcome::kBadAnswer, 206, 0, false, false, nullptr},
    {"partial_of_another_range_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 1000\r\n"
     "Content-Range: bytes 0-999/1000\r\n\r\n",
     kFail, Outcome::kBadAnswer, 206, 0, false, false, nullptr},
    {"chunked_with_a_length_fails",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
     "Content-Length: 5\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"coding_before_chunked_fails",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", kFail,
     Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"chunked_twice_fails",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
     "Transfer-Encoding: chunked\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"partial_without_length_fails",
     "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-999/1000\r\n"
     "\r\n",
     kFail, Outcome::kBadAnswer, 206, 0, false, false, nullptr},
    {"gzip_answer_fails",
     "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 5\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    // Parts with heads of their own are no file's bytes, whatever the
    // status says.
    {"whole_file_in_parts_fails",
     "HTTP/1.1 200 OK\r\nContent-Type: Multipart/Byteranges; boundary=B\r\n"
     "Content-Length: 5\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"identity_coding_is_no_coding",
     "HTTP/1.1 200 OK\r\nContent-Encoding: Identity\r\n"
     "Content-Length: 5\r\n\r\n",
     kOk, Outcome::kOk, 200, 5, false, false, nullptr},
    {"small_file_size_from_416",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */57\r\n\r\n",
     kOk, Outcome::kOk, 416, 57, false, false, nullptr},
    {"416_of_100_bytes_is_the_size",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */100\r\n\r\n",
     kOk, Outcome::kOk, 416, 100, false, false, nullptr},
    {"416_naming_a_larger_file_is_a_refusal",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */101\r\n\r\n",
     kFail, Outcome::kRefused, 416, 0, false, false, nullptr},
    {"416_without_a_total_is_a_refusal",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 3\r\n\r\n", kFail,
     Outcome::kRefused, 416, 0, false, false, nullptr},
    {"416_of_nothing_is_an_empty_package",
     "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */0\r\n\r\n",
     kFail, Outcome::kEmptyPackage, 416, 0, false, false, nullptr},
    {"empty_whole_file_is_an_empty_package",
     "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", kFail,
     Outcome::kEmptyPackage, 200, 0, false, false, nullptr},
    {"unparseable_last_modified_is_undated",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
     "Last-Modified: Sun Nov  6 08:49:37 1994\r\n\r\n",
     kOk, Outcome::kOk, 200, 5, false, false, nullptr},
    {"rfc850_last_modified_is_undated",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
     "Last-Modified: Sunday, 06-Nov-94 08:49:37 GMT\r\n\r\n",
     kOk, Outcome::kOk, 200, 5, false, false, nullptr},
    {"fields_in_unended_last_line_read",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
     "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT",
     kOk, Outcome::kOk, 200, 5, false, true, nullptr},
    {"missing_content_length_ends_with_the_connection",
     "HTTP/1.0 200 OK\r\nServer: x\r\n\r\n", kOk, Outcome::kOk, 200, -1, false,
     false, nullptr},
    {"disagreeing_content_lengths_fail",
     "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 20\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"repeated_equal_content_lengths_read",
     "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 10\r\n\r\n", kOk,
     Outcome::kOk, 200, 10, false, false, nullptr},
    {"field_matched_by_whole_name_only",
     "HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\nContent-Length: 9\r\n\r\n", kOk,
     Outcome::kOk, 200, 9, false, false, nullptr},
    {"names_matched_case_blind",
     "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 5\r\nLAST-MODIFIED: SUN, 06 NOV 1994 "
     "08:49:37 GMT\r\n\r\n",
     kOk, Outcome::kOk, 200, 5, false, true, nullptr},
    {"length_trimmed_digits_only",
     "HTTP/1.1 200 OK\r\nContent-Length: \t 77  \r\n\r\n", kOk, Outcome::kOk,
     200, 77, false, false, nullptr},
    {"length_with_letters_fails",
     "HTTP/1.1 200 OK\r\nContent-Length: 77abc\r\n\r\n", kFail,
     Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"empty_length_fails", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", kFail,
     Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"signed_length_fails", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    {"negative_length_fails", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
     kFail, Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    // Sizes and offsets are 64-bit: past 4 GiB nothing wraps, and a number
    // past what a signed 64-bit offset holds is no answer to trust.
    {"length_past_4_gib_read",
     "HTTP/1.1 200 OK\r\nContent-Length: 5368709120\r\n\r\n", kOk, Outcome::kOk,
     200, 5368709120, false, false, nullptr},
    {"total_past_4_gib_read",
     "HTTP/1.1 206 Partial Content\r\nContent-Length: 5368709020\r\n"
     "Content-Range: bytes 100-5368709119/5368709120\r\n\r\n",
     kOk, Outcome::kOk, 206, 5368709120, true, false, nullptr},
    {"largest_64_bit_length_accepted",
     "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n", kOk,
     Outcome::kOk, 200, INT64_MAX, false, false, nullptr},
    {"length_past_64_bits_fails",
     "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\n", kFail,
     Outcome::kBadAnswer, 200, 0, false, false, nullptr},
    // The status line.
    {"status_without_reason_phrase_read",
     "HTTP/1.1 200\r\nContent-Length: 5\r\n\r\n", kOk, Outcome::kOk, 200, 5,
     false, false, nullptr},
    {"trailing_blank_after_code_read",
     "HTTP/1.1 200 \r\nContent-Length: 5\r\n\r\n", kOk, Outcome::kOk, 200, 5,
     false, false, nullptr},
    {"two_blanks_before_code_read",
     "HTTP/1.1  206 Partial Content\r\nContent-Length: 5\r\n"
     "Content-Range: bytes 100-104/105\r\n\r\n",
     kOk, Outcome::kOk, 206, 105, true, false, nullptr},
    {"unknown_2xx_is_a_whole_file",
     "HTTP/1.1 299 X\r\nContent-Length: 3\r\n\r\n", kOk, Outcome::kOk, 299, 3,
     false, false, nullptr},
    {"continue_is_unexpected", "HTTP/1.1 100 Continue\r\n\r\n", kFail,
     Outcome::kUnexpectedStatus, 100, 0, false, false, nullptr},
    {"switching_protocols_is_unexpected",
     "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n", kFail,
     Outcome::kUnexpectedStatus, 101, 0, false, false, nullptr},
    {"created_is_unexpected",
     "HTTP/1.1 201 Created\r\nContent-Length: 3\r\n\r\n", kFail,
     Outcome::kUnexpectedStatus, 201, 0, false, false, nullptr},
    {"no_content_is_unexpected", "HTTP/1.1 204 No Content\r\n\r\n", kFail,
     Outcome::kUnexpectedStatus, 204, 0, false, false, nullptr},
    {"delta_is_unexpected", "HTTP/1.1 226 IM Used\r\nContent-Length: 3\r\n\r\n",
     kFail, Outcome::kUnexpectedStatus, 226, 0, false, false, nullptr},
    // Nothing was asked conditionally: a 304 is no redirect.
    {"not_modified_is_unexpected_even_with_location",
     "HTTP/1.1 304 Not Modified\r\nLocation: /x\r\n\r\n", kFail,
     Outcome::kUnexpectedStatus, 304, 0, false, false, nullptr},
    {"status_400_refused", "HTTP/1.1 400 Bad\r\nContent-Length: 3\r\n\r\n",
     kFail, Outcome::kRefused, 400, 0, false, false, nullptr},
    {"status_499_refused", "HTTP/1.1 499 X\r\nContent-Length: 3\r\n\r\n", kFail,
     Outcome::kRefused, 499, 0, false, false, nullptr},
    {"status_500_server_error",
     "HTTP/1.1 500 Oops\r\nContent-Length: 3\r\n\r\n", kProbeServerError,
     Outcome::kServerError, 500, 0, false, false, nullptr},
    {"status_999_server_error", "HTTP/1.1 999 X\r\n\r\n", kProbeServerError,
     Outcome::kServerError, 999, 0, false, false, nullptr},
    // Redirects: the target resolved against the URL that answered.
    {"location_in_unended_last_line_read", "HTTP/1.1 301 Moved\r\nLocation: /x",
     kRedirect, Outcome::kOk, 301, 0, false, false, "http://h/x"},
    {"location_with_blank_refused",
     "HTTP/1.1 302 Found\r\nLocation: /p q\r\n\r\n", kFail,
     Outcome::kBadRedirect, 302, 0, false, false, nullptr},
    {"location_with_bare_cr_refused",
     "HTTP/1.1 302 Found\r\nLocation: /p\rhost: evil\r\n\r\n", kFail,
     Outcome::kBadRedirect, 302, 0, false, false, nullptr},
    {"no_location_refused", "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n",
     kFail, Outcome::kBadRedirect, 302, 0, false, false, nullptr},
    {"two_different_locations_refused",
     "HTTP/1.1 302 Found\r\nLocation: /x\r\nLocation: /y\r\n\r\n", kFail,
     Outcome::kBadRedirect, 302, 0, false, false, nullptr},
    {"other_scheme_refused",
     "HTTP/1.1 302 Found\r\nLocation: x-http://other/g\r\n\r\n", kFail,
     Outcome::kBadRedirect, 302, 0, false, false, nullptr},
    {"absolute_target_kept_byte_for_byte",
     "HTTP/1.1 302 Found\r\nLocation: http://Other:81/B/G.exe?K=V\r\n\r\n",
     kRedirect, Outcome::kOk, 302, 0, false, false,
     "http://Other:81/B/G.exe?K=V"},
    {"redirect_ignores_content_length",
     "HTTP/1.1 302 Found\r\nContent-Length: 50\r\nLocation: /x\r\n\r\n",
     kRedirect, Outcome::kOk, 302, 0, false, false, "http://h/x"},
    {"status_399_is_redirect", "HTTP/1.1 399 X\r\nLocation: /x\r\n\r\n",
     kRedirect, Outcome::kOk, 399, 0, false, false, "http://h/x"},
    {"relative_replaces_file_name",
     "HTTP/1.1 302 Found\r\nLocation: g.exe\r\n\r\n", kRedirect, Outcome::kOk,
     302, 0, false, false, "http://h/a/g.exe"},
    {"up_past_the_root_stays_on_the_host",
     "HTTP/1.1 302 Found\r\nLocation: ../../d/g.exe\r\n\r\n", kRedirect,
     Outcome::kOk, 302, 0, false, false, "http://h/d/g.exe"},
    {"up_and_down_cancel",
     "HTTP/1.1 302 Found\r\nLocation: a/../b/../g.exe\r\n\r\n", kRedirect,
     Outcome::kOk, 302, 0, false, false, "http://h/a/g.exe"},
    {"network_path_names_a_host",
     "HTTP/1.1 302 Found\r\nLocation: //mirror:81/f.exe\r\n\r\n", kRedirect,
     Outcome::kOk, 302, 0, false, false, "http://mirror:81/f.exe"},
    {"http_to_https_followed",
     "HTTP/1.1 302 Found\r\nLocation: https://s/x.exe\r\n\r\n", kRedirect,
     Outcome::kOk, 302, 0, false, false, "https://s/x.exe"},
    {"content_location_is_not_the_target",
     "HTTP/1.1 302 Found\r\nContent-Location: /first\r\nLocation: /second\r\n"
     "\r\n",
     kRedirect, Outcome::kOk, 302, 0, false, false, "http://h/second"},
    // From https, a target stays under TLS or is refused.
    {"https_to_http_refused",
     "HTTP/1.1 302 Found\r\nLocation: http://h/x\r\n\r\n", kFail,
     Outcome::kInsecureRedirect, 302, 0, false, false, nullptr,
     "https://h/a/f.exe"},
    {"https_relative_stays_secure",
     "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", kRedirect, Outcome::kOk, 302,
     0, false, false, "https://h/x", "https://h/a/f.exe"},
    {"https_network_path_stays_secure",
     "HTTP/1.1 302 Found\r\nLocation: //m/x\r\n\r\n", kRedirect, Outcome::kOk,
     302, 0, false, false, "https://m/x", "https://h/a/f.exe"},
};

class AnswerTable : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTable, ReadsTheProbeAnswer) {
  const AnswerCase& c = GetParam();
  ResponseHead head;
  ASSERT_TRUE(ReadResponseHead(c.text, &head));
  ProbeAnswer answer;
  ASSERT_EQ(UrlError::kNone, HttpUrl::Parse(c.base, &answer.url));
  // Values of an earlier answer, which this one must replace.
  answer.modified = Time64(1);
  answer.etag = "stale";
  HttpUrl next;
  StepResult failure;
  EXPECT_EQ(c.result, ReadProbeAnswer(head, &answer, &next, &failure));
  EXPECT_EQ(c.outcome, failure.outcome);
  if (c.result != kProbeOk && c.result != kProbeRedirected) {
    EXPECT_EQ(c.status, failure.status);
  }
  EXPECT_EQ(c.size, answer.size);
  EXPECT_EQ(c.ranges, answer.ranges);
  if (c.result == kProbeOk) {
    EXPECT_EQ(c.dated, answer.dated);
    Time64 want;
    if (c.dated) {
      ASSERT_TRUE(Time64::FromUtcFields(1994, 11, 6, 8, 49, 37, &want));
    }
    EXPECT_EQ(want.seconds(), answer.modified.seconds());
    EXPECT_EQ(c.etag, answer.etag);
  }
  if (c.result == kProbeRedirected) {
    HttpUrl want;
    ASSERT_EQ(UrlError::kNone, HttpUrl::Parse(c.next, &want));
    EXPECT_EQ(want.secure, next.secure);
    EXPECT_EQ(want.host, next.host);
    EXPECT_EQ(want.port, next.port);
    EXPECT_EQ(want.target, next.target);
  }
}

INSTANTIATE_TEST_SUITE_P(ResponseHead, AnswerTable,
                         ::testing::ValuesIn(kAnswerCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorn
