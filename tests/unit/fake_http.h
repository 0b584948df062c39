// A tiny HTTP file server for FakeNetwork: answers range requests with 206
// (or ignores them and answers 200), for the preparation and worker tests.
#ifndef VORN_TESTS_UNIT_FAKE_HTTP_H_
#define VORN_TESTS_UNIT_FAKE_HTTP_H_

#include <string>

#include "download/downloader.h"
#include "tests/unit/fake_env.h"

namespace vorn::testing {

struct FakeFile {
  std::string content;
  bool ranges = true;
  std::string last_modified = "Sun, 06 Nov 1994 08:49:37 GMT";
  std::string etag;  // sent when not empty
  // Bytes sent after a ranged body on the same connection (a keep-alive
  // server's next answer, say); a worker must not write them.
  std::string trailing;
  // Split every answer into pieces of this many bytes (0: one piece).
  size_t piece = 0;
};

FakeNetwork::Responder ServeFile(const FakeFile& file);

// Deterministic content of `size` bytes with no long runs of one value.
std::string Pattern(size_t size, unsigned seed = 1);

// What ProbeSize came to, as one value for the tables: the answer with the
// step's outcome, status and error beside it.
struct Probed : ProbeAnswer {
  Outcome outcome = Outcome::kOk;
  int32_t status = 0;
  platform::Status error;
};
inline Probed Probe(const Downloader& d, const HttpUrl& url, int method = 0) {
  Probed probed;
  StepResult result = d.ProbeSize(url, method, &probed);
  probed.outcome = result.outcome;
  probed.status = result.status;
  probed.error = result.error;
  return probed;
}

}  // namespace vorn::testing

#endif  // VORN_TESTS_UNIT_FAKE_HTTP_H_
