// The segmented HTTP download, read as the values handed from step to step:
//
//   HttpUrl --ProbeSize--> ProbeAnswer --PrepareDownload--> DownloadPlan
//     --DownloadSegment (one worker per segment, each with its own slot)-->
//     SegmentSlot[] --JoinSegments--> the package file
//
// The Downloader owns the values of the process's one download. The main
// thread fills the answer and the plan before the first worker starts; each
// worker then reads them, writes only its own slot and, when stopped, the
// start of its own range. No lock is taken.
#ifndef VORN_DOWNLOAD_DOWNLOADER_H_
#define VORN_DOWNLOAD_DOWNLOADER_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "download/http_url.h"
#include "download/resume_record.h"
#include "download/time64.h"
#include "platform/env.h"
#include "platform/status.h"

namespace vorn {

// How one probe answer reads.
enum ProbeResult : int {
  kProbeOk = 0,
  kProbeServerError = 1,
  kProbeRedirected = 2,
  kProbeFailed = 3,
};

// What a step of the download came to: kOk, or why it failed. The updater
// has one log line for each (update/outcome_lines.cc).
enum class Outcome {
  kOk,
  kNotRun,  // a segment whose worker has not reported
  // The package URL and the save path.
  kBadUrl,        // not an http or https URL even with "http://" put first
  kBadPort,       // a port that is not 1 to 65535 in digits
  kBadSavePath,   // empty once trimmed
  // One connection, the probe's or a segment's.
  kConnectFailed,       // no connection to the server could be made
  kSendFailed,          // the request could not be sent
  kTlsFailed,           // no trusted TLS session (the status says why)
  kNoAnswer,            // the connection ended or stalled before a head
  kHeadTooLong,         // a head longer than kMaxHeaderBytes
  kBadAnswer,           // an answer whose framing cannot be trusted
  kServerError,         // status 500 or above
  kRefused,             // status 400 to 499
  kUnexpectedStatus,    // a status that is no answer to a plain GET (304,
                        // 204, 205, 226, 101...)
  kTooManyRedirects,    // more than kMaxRedirects redirects
  kBadRedirect,         // a redirect without a usable target
  kInsecureRedirect,    // a redirect from https to http
  kProxyConnectFailed,  // no connection to the proxy could be made
  kProxyAuthRequired,   // the proxy answered 407
  kProxyBadGateway,     // the proxy answered 502 or 504, or refused a tunnel
  kProxyUnsupported,    // the proxy set is not an HTTP proxy
  // The plan.
  kTooLarge,        // a file of 2 GiB or more
  kEmptyPackage,    // a file of 0 bytes is no package
  kWrongSize,       // not of the size the version file announced
  kPlanNotWritten,  // the info file could not be written (status: where)
  // A segment's transfer.
  kWrongAnswer,   // the answer was not the one asked for (range, total,
                  // coding, another Last-Modified or ETag than the probe's)
  kBroken,        // the connection ended, failed or stalled early
  kWriteFailed,   // the segment file could not be opened or written
  kProxyError,    // the proxy answered 407, 502 or 504 itself
  // The join.
  kIncomplete,      // a segment file does not hold exactly its bytes
  kCopyFailed,      // reading a segment or writing the temporary file failed
  kReplaceFailed,   // the complete file could not replace the package file
  kDigestMismatch,  // the joined bytes are not the announced package; they,
                    // the segment files and the info file are gone
};

// At most this many redirects are followed by one probe; the next one fails
// the probe, so a redirect loop cannot hold the run.
constexpr int kMaxRedirects = 20;
// Time-outs of every downloader connection.
constexpr uint32_t kConnectTimeoutMs = 30000;
constexpr uint32_t kReceiveTimeoutMs = 60000;
// A whole response head must come within this, however its bytes trickle.
constexpr uint32_t kHeadTimeoutMs = 60000;
// A body that brings fewer than kLowSpeedMinBytes in any kLowSpeedWindowMs
// (1 KiB/s on average) fails its connection as stalled, so no server can
// stretch a run without bound by sending a byte now and then.
constexpr int64_t kLowSpeedWindowMs = 60000;
constexpr int64_t kLowSpeedMinBytes = 60 * 1024;
// The largest file the 32-bit ranges can describe.
constexpr int32_t kMaxFileBytes = 0x7FFFFFFF;
// Each segment worker moves its body in blocks of this size: one buffer
// per worker, filled from the socket and written out whole.
constexpr int kSegmentBlockBytes = 128 * 1024;

// What the probe learned, or why it failed.
struct ProbeAnswer {
  Outcome outcome = Outcome::kOk;
  int32_t status = 0;     // the status of the last answer read
  HttpUrl url;            // where the file is, after the redirects
  std::string referer;    // the URL that redirected there; empty if none
  int64_t size = 0;       // the package's size in bytes
  bool ranges = false;    // the server serves byte ranges
  bool dated = false;     // a Last-Modified that gives a time came
  Time64 modified;        // that time (UTC)
  std::string etag;       // the ETag as sent; empty when none came
  std::string proxy_description;  // the first proxy route; empty direct
  platform::Status error;         // the system's reason, where one
  bool ok() const { return outcome == Outcome::kOk; }
};

// The plan of one download: its files, and the bytes each segment still
// needs. In four-part mode it is kept on disk as the info file.
struct DownloadPlan {
  std::string save_path;       // the package file
  std::string info_file_path;  // save path + ".down"
  ResumeRecord record;
  int64_t size = 0;            // the package's size
  bool ranged = false;         // four segments; else one whole-file answer
  bool resumed = false;        // kept segment files are continued
  bool dropped_other = false;  // a plan for another URL was thrown away

  int SegmentCount() const { return ranged ? kSegmentCount : 1; }
  // save path + ".down" + the digit.
  std::string SegmentFilePath(int index) const;
  // Bytes segment file `index` holds when complete.
  int64_t SegmentBytes(int index) const;
};

// What one segment worker came to. Written by its worker alone while it
// runs, read by the main thread after the wait; `stop` goes the other way.
struct SegmentSlot {
  Outcome outcome = Outcome::kNotRun;
  int32_t status = 0;  // the answer's status, where one came
  platform::Status error;
  std::atomic<int32_t> stop{0};  // non-zero asks the worker to stop
};

class Downloader;
// What a worker thread is handed: its downloader and its index.
struct SegmentJob {
  Downloader* downloader = nullptr;
  int index = 0;
};

class Downloader {
 public:
  explicit Downloader(const platform::Env* env);
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // The time-outs of every connection; tests shorten them.
  void SetTimeouts(uint32_t connect_ms, uint32_t receive_ms) {
    connect_timeout_ms_ = connect_ms;
    receive_timeout_ms_ = receive_ms;
  }
  // What the package must be: its size in bytes (-1 for any) and its
  // SHA-256 (32 bytes; empty for any). Set before PrepareDownload.
  void SetExpectedPackage(int64_t size, const std::string& sha256) {
    expected_size_ = size;
    expected_sha256_ = sha256;
  }

  // Asks the server at `url` for the bytes from offset 100 on and learns
  // the size, range support and validators, following redirects. `method`
  // 0 sends GET, anything else HEAD.
  ProbeAnswer ProbeSize(const HttpUrl& url, int method) const;

  // Parses the URL, reads the info file, probes and fixes the plan; in
  // four-part mode the plan is on disk before this returns kOk. Nothing is
  // shown or logged here: probe() and plan() say what was found, error()
  // the system's reason of a failure.
  Outcome PrepareDownload(const std::string& url, const std::string& save_path);
  const ProbeAnswer& probe() const { return probe_; }
  const DownloadPlan& plan() const { return plan_; }
  const platform::Status& error() const { return error_; }

  // The transfer of segment `index`, run on a worker thread; its outcome
  // stays in slot(index).
  void DownloadSegment(int index);
  SegmentSlot& slot(int index) { return slots_[index]; }
  SegmentJob* job(int index) { return &jobs_[index]; }

  // Whether every segment file holds exactly its bytes.
  bool SegmentsComplete() const;
  // Joins the segment files, in order, into the package file through a
  // temporary file that replaces it only when complete (and, with an
  // announced SHA-256, only when its digest matches); then deletes the
  // segment files and, in four-part mode, the info file. Anything short of
  // kOk leaves the package file as it was, and the segment files too unless
  // the digest did not match. error() tells a copy or replace failure.
  Outcome JoinSegments();
  // After a failed transfer: advances every start to the first byte its
  // segment file lacks and rewrites the info file, so the next run resumes.
  platform::Status RecordProgress();
  // While the workers run (four-part mode): rewrites the info file with
  // every start at the first byte its segment file lacks now.
  platform::Status SaveProgress();

 private:
  // Reconciles a kept record with the segment files; false when the record
  // cannot be trusted and the download must be planned afresh.
  bool ReconcileWithSegmentFiles();
  // Whether the kept record may be continued for the probe's file.
  bool MayResume(const std::string& raw);
  // Writes `record` to the info file through a temporary file renamed over
  // it; the status says which file failed and why.
  platform::Status WriteRecord(const ResumeRecord& record) const;
  void PlanFresh();
  void DiscardSegmentFiles();
  // Deletes the info file (four-part mode) and the segment files, the info
  // file first.
  void RemovePartialFiles();

  const platform::Env* env_;
  uint32_t connect_timeout_ms_ = kConnectTimeoutMs;
  uint32_t receive_timeout_ms_ = kReceiveTimeoutMs;
  int64_t expected_size_ = -1;
  std::string expected_sha256_;

  ProbeAnswer probe_;
  DownloadPlan plan_;
  platform::Status error_;
  SegmentSlot slots_[kSegmentCount];
  SegmentJob jobs_[kSegmentCount];
};

struct ResponseHead;
// Reads one answer to the probe into `answer` (status, size, ranges,
// validators, or the failure's outcome). A redirect leaves its resolved
// target in `*next`.
ProbeResult ReadProbeAnswer(const ResponseHead& head, ProbeAnswer* answer,
                            HttpUrl* next);

// The worker thread's entry; `arg` is the SegmentJob.
uint32_t SegmentThreadProc(void* arg);

// The requests, byte for byte. The path goes out exactly as held; through
// an HTTP proxy (plain http only) the request line holds the whole URL and
// the route's Proxy-Authorization follows the Host line.
std::string BuildProbeRequest(const HttpUrl& url, const std::string& referer,
                              bool head, const platform::ProxyRoute& route);
// `range` null asks for the whole file.
std::string BuildSegmentRequest(const HttpUrl& url, const std::string& referer,
                                const SegmentRange* range,
                                const platform::ProxyRoute& route);
// The tunnel request for an https URL through an HTTP proxy.
std::string BuildConnectRequest(const HttpUrl& url,
                                const platform::ProxyRoute& route);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_DOWNLOADER_H_
