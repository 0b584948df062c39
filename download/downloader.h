// Downloader: the one segmented HTTP download of the process. The main
// thread fills it completely before the first worker starts; each worker
// then writes only the worker counter (one atomic increment) and, when
// stopped, the start of its own range. No lock is taken.
#ifndef VORN_DOWNLOAD_DOWNLOADER_H_
#define VORN_DOWNLOAD_DOWNLOADER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "download/resume_record.h"
#include "download/time64.h"
#include "platform/env.h"

namespace vorn {

// Outcome of reading one probe answer.
enum ProbeResult : int {
  kProbeOk = 0,
  kProbeServerError = 1,
  kProbeRedirected = 2,
  kProbeFailed = 3,
};

// Why the last probe failed (kNone after a success).
enum class ProbeFailure {
  kNone,
  kConnectFailed,     // no connection to the server could be made
  kNoAnswer,          // the connection ended or stalled before a header
  kBadAnswer,         // an answer whose framing cannot be trusted
  kServerError,       // status 500 or above
  kRefused,           // status 400 to 499
  kTooManyRedirects,  // more than kMaxRedirects redirects
  kBadRedirect,       // a redirect without a usable target
  kTooLarge,          // a file of 2 GiB or more
  kProxyConnectFailed,  // no connection to the proxy could be made
  kProxyAuthRequired,   // the proxy answered 407
  kProxyBadGateway,     // the proxy answered 502 or 504: it could not
                        // reach the server
  kProxyUnsupported,    // the proxy set is not an HTTP proxy
};

// What a preparation came to.
enum class PrepareResult {
  kReady,          // the transfer may start
  kBadUrl,         // empty, or not an http URL even with "http://" put first
  kBadSavePath,    // empty once trimmed
  kProbeFailed,    // the server gave no usable answer
  kOtherDownload,  // the info file holds the plan of another URL
  kWrongSize,      // the server's file is not of the expected size
};

// What a join of the segment files came to. Only kJoined changed the
// package file.
enum class JoinResult {
  kJoined,         // the package file now holds the joined segments
  kIncomplete,     // a segment file does not hold exactly its bytes
  kCopyFailed,     // reading a segment or writing the temporary file failed
  kReplaceFailed,  // the complete file could not replace the package file
  kDigestMismatch,  // the joined bytes are not the expected package: they
                    // and the segment files and the info file are gone
};

// At most this many redirects are followed by one probe; the next one fails
// the probe, so a redirect loop cannot hold the run.
constexpr int kMaxRedirects = 20;
// Time-outs of every downloader connection.
constexpr uint32_t kConnectTimeoutMs = 30000;
constexpr uint32_t kReceiveTimeoutMs = 60000;

// The largest file the 32-bit ranges can describe.
constexpr int32_t kMaxFileBytes = 0x7FFFFFFF;

// Size of the probe's receive buffer and of the header scans' unit.
constexpr int kReceiveBufferBytes = 1025;
// Each segment worker moves its body in blocks of this size: one buffer
// per worker, filled from the socket and written out whole.
constexpr int kSegmentBlockBytes = 128 * 1024;

// What a segment worker came to, in its own slot.
enum class SegmentResult {
  kNotRun,
  kComplete,       // the segment file holds the whole range
  kConnectFailed,  // no connection to the server could be made
  kWrongAnswer,    // the answer was not the one asked for
  kBroken,         // the connection ended, failed or stalled early
  kWriteFailed,    // the segment file could not be opened or written
  kProxyConnectFailed,  // no connection to the proxy could be made
  kProxyError,          // the proxy answered 407, 502 or 504 itself
};

struct ResponseHead;

class Downloader {
 public:
  explicit Downloader(const platform::Env* env);
  virtual ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Splits an http URL into host, path and port and stores it as the current
  // URL. False for anything else; see the definition for what a failed call
  // leaves behind.
  bool ParseUrl(std::string url);

  // Reads a probe answer's header (through its blank line).
  ProbeResult ParseResponseHeader(const char* text, int32_t* content_length,
                                  int32_t* status, Time64* modified);

  // The probe request for the current host, path and referer. Through an
  // HTTP proxy the request line names the whole URL and the route's
  // Proxy-Authorization follows the Host line; every other byte is the
  // same.
  std::string BuildProbeRequest(bool head,
                                const platform::ProxyRoute& route = {}) const;
  // The request of segment `index` for the current state, likewise.
  std::string BuildSegmentRequest(int index,
                                  const platform::ProxyRoute& route = {}) const;

  // Asks the server for the bytes from offset 100 on and learns the size,
  // range support and modification time, following redirects. 0 (ok),
  // 1 (server error) or 3 (failure). `method` 0 sends GET, anything else
  // HEAD.
  int ProbeSize(int method);

  // Parses the URL, reads the info file, probes and fixes the four ranges.
  // kReady when the transfer may start; nothing is shown or logged here.
  // With an expected size, a server file of another size gives kWrongSize
  // before anything is written.
  PrepareResult PrepareDownload(std::string url, std::string save_path);

  // What the package must be: its size in bytes (-1 for any) and its
  // SHA-256 (32 bytes; empty for any). Set before PrepareDownload.
  void SetExpectedPackage(int64_t size, const std::string& sha256) {
    expected_size_ = size;
    expected_sha256_ = sha256;
  }
  // The package's size as the probe learned it.
  int64_t PackageSize() const;

  // The transfer of segment `index`, run on a worker thread; its outcome
  // stays in segment_result(index).
  void DownloadSegment(int index);
  SegmentResult segment_result(int index) const {
    return segment_results_[index];
  }

  // The header length of the first received bytes: the offset just after
  // the LF of the first line that is empty once its CR bytes are dropped,
  // scanning all of the `size` bytes; `size` when there is none.
  static int32_t GetHeaderLength(const char* buffer, int size);
  // One line from `*position`, CR dropped, up to its LF or `size`.
  static std::string ReadHeaderLine(const char* buffer, int* position,
                                    int size);

  // The name of segment file `index`: info-file path + the digit.
  std::string SegmentFilePath(int index) const;

  // Whether every segment file of the present mode holds exactly its
  // range's bytes (four-part mode) or the answer's length (single mode).
  bool SegmentsComplete() const;
  // Joins the segment files, in segment order, into the package file at the
  // save path, through a temporary file that replaces it only when complete;
  // then deletes the segment files and, in four-part mode, the info file.
  // With an expected SHA-256 the digest is taken in the same pass, and a
  // mismatch removes the temporary file, the segment files and the info
  // file (a resume would rebuild the same wrong bytes). Anything short of
  // kJoined leaves the package file as it was, and the segment files too
  // unless the digest did not match.
  JoinResult JoinSegments();
  // After a failed transfer: advances every start to the first byte its
  // segment file lacks and rewrites the info file, so the next run resumes.
  void RecordProgress();
  // While the workers run (four-part mode): rewrites the info file with
  // every start at the first byte its segment file lacks now, so the
  // record never runs ahead of the files nor far behind them.
  void SaveProgress();

  // Accessors for the members that other steps read.
  const std::string& save_path() const { return save_path_; }
  const std::string& info_file_path() const { return info_file_path_; }
  const ResumeRecord& record() const { return record_; }
  ResumeRecord* mutable_record() { return &record_; }
  const std::string& host() const { return host_; }
  const std::string& path() const { return path_; }
  const std::string& referer() const { return referer_; }
  const std::string& current_url() const { return current_url_; }
  uint16_t port() const { return port_; }
  Time64 server_time() const { return server_time_; }
  int32_t range_supported() const { return range_supported_; }
  int32_t resume_flag() const { return resume_flag_; }
  uint32_t server_file_size() const { return server_file_size_; }
  ProbeFailure probe_failure() const { return probe_failure_; }
  int32_t probe_status() const { return probe_status_; }
  // The description of the first proxy route the last probe took; empty
  // when it went direct.
  const std::string& proxy_description() const { return proxy_description_; }
  volatile int32_t* stop_flags() { return stop_flags_; }
  volatile int32_t* worker_counter() { return &worker_counter_; }

  // The time-outs of every connection; tests shorten them.
  void SetTimeouts(uint32_t connect_ms, uint32_t receive_ms) {
    connect_timeout_ms_ = connect_ms;
    receive_timeout_ms_ = receive_ms;
  }
  // For tests that drive a single step.
  void SetRangeSupportedForTesting(int32_t flag) { range_supported_ = flag; }
  void SetResumeFlagForTesting(int32_t flag) { resume_flag_ = flag; }
  void SetServerFileSizeForTesting(uint32_t size) { server_file_size_ = size; }
  void SetPathsForTesting(const std::string& save_path) {
    save_path_ = save_path;
    info_file_path_ = save_path + ".down";
  }

 private:
  // The route of a connection to the current host and port.
  platform::ProxyRoute CurrentRoute() const;
  // Receives the probe answer's header from the probe socket.
  bool ReceiveProbeHeader(std::string* header);
  // Whether a segment answer is exactly the one segment `index` asked for;
  // then *body_bytes is what it owes the segment file.
  bool AnswerFitsSegment(const ResponseHead& head, int index,
                         int64_t* body_bytes) const;
  // Reconciles a kept record with the segment files; false when the record
  // cannot be trusted and the download must be planned afresh.
  bool ReconcileWithSegmentFiles();
  // Writes `record` to the info file through a temporary file renamed over
  // it. False when it could not be written.
  bool WriteRecord(const ResumeRecord& record);
  // Sets time, size and the fresh partition from the probe's results.
  void PlanFresh();
  // Whether the info file's bytes are exactly what the record read from
  // them would be written as (text-mode reading loses nothing then).
  bool RecordReadsBackExactly(const std::string& raw) const;
  void DiscardSegmentFiles();
  // Deletes the info file (four-part mode) and the first `count` segment
  // files, the info file first.
  void RemovePartialFiles(int count);
  // Bytes that segment file `index` must hold when complete.
  int64_t ExpectedSegmentBytes(int index) const;

  const platform::Env* env_;

  std::string save_path_;
  std::string info_file_path_;
  ResumeRecord record_;
  volatile int32_t stop_flags_[kSegmentCount] = {0, 0, 0, 0};
  std::unique_ptr<platform::Socket> probe_socket_;
  std::string host_;
  std::string path_;
  std::string referer_;
  std::string current_url_;
  Time64 server_time_;
  int32_t range_supported_ = 0;
  int32_t resume_flag_ = 0;
  uint32_t server_file_size_ = 0;
  uint16_t port_ = 0;
  volatile int32_t worker_counter_ = 0;
  SegmentResult segment_results_[kSegmentCount] = {};
  ProbeFailure probe_failure_ = ProbeFailure::kNone;
  int32_t probe_status_ = 0;
  int64_t expected_size_ = -1;
  std::string expected_sha256_;
  std::string proxy_description_;

  uint32_t connect_timeout_ms_ = kConnectTimeoutMs;
  uint32_t receive_timeout_ms_ = kReceiveTimeoutMs;
};

// The worker thread's entry: takes its index from the worker counter and
// runs the transfer of that segment. `arg` is the Downloader.
uint32_t SegmentThreadProc(void* arg);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_DOWNLOADER_H_
