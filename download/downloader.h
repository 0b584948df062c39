// The segmented HTTP download, one call that runs it all and answers with
// one value; inside, values handed from step to step:
//
//   HttpUrl --ProbeSize--> ProbeAnswer --PrepareDownload--> DownloadPlan
//     --DownloadSegment (one worker thread per segment)--> the part file
//     --FinishPackage--> the package file
//
// Every worker writes its bytes at their offsets into one part file beside
// the package, and the start of its range into the plan file in place;
// finishing checks the part file and renames it over the package. No byte
// is copied after it was received (a chunked body's data only moves up
// within its block as its framing is taken out).
//
// Download starts the workers and waits for them itself. They share one
// Transfer: the probe's answer and the plan, filled before the first worker
// starts; each worker then writes only its own result. Who fetches which
// range, where the ranges start and end, and which sources are set aside
// change under the Transfer's `work` lock; the running digest under its
// `hashing` lock; a connection is ended from another thread only through
// its Interrupter.
#ifndef VORN_DOWNLOAD_DOWNLOADER_H_
#define VORN_DOWNLOAD_DOWNLOADER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "download/http_url.h"
#include "download/resume_record.h"
#include "download/time64.h"
#include "platform/crypto.h"
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
  kBadUrl,       // not an http or https URL even with "http://" put first
  kBadPort,      // a port that is not 1 to 65535 in digits
  kBadSavePath,  // empty once trimmed
  // One exchange, the probe's or a segment's.
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
  kEmptyPackage,    // a file of 0 bytes is no package
  kWrongSize,       // not of the size the version file announced
  kPlanNotWritten,  // the plan file could not be written
  // A segment's transfer.
  kWrongAnswer,  // the answer was not the one asked for (range, total,
                 // coding)
  kOtherFile,    // the answer was of another file than the probe's (its
                 // Last-Modified or ETag differ)
  kBroken,       // the connection ended, failed or stalled early
  kWriteFailed,  // the part file or the plan could not be opened or written,
                 // or (before the transfer) the disk has no room for what
                 // the part file lacks
  kStopped,      // the worker was asked to stop
  // The workers.
  kThreadStartFailed,  // a worker thread could not be started
  kWaitFailed,         // waiting for the workers failed
  // Finishing the package.
  kIncomplete,      // a segment's bytes are not all in the part file
  kReadBackFailed,  // reading the part file back for its digest failed
  kReplaceFailed,   // the complete file could not replace the package file
  kDigestMismatch,  // the received bytes are not the announced package; the
                    // part file and the plan are gone
};

// What one step came to, from where the system or the server answered to
// where a person reads it: the outcome, the HTTP status where an answer
// came, and the status that names the file or host:port and the reason.
struct StepResult {
  Outcome outcome = Outcome::kOk;
  int32_t status = 0;
  platform::Status error;
  bool ok() const { return outcome == Outcome::kOk; }
};

// A failed step's value.
inline StepResult Failed(Outcome outcome, platform::Status error = {},
                         int32_t status = 0) {
  StepResult result;
  result.outcome = outcome;
  result.status = status;
  result.error = std::move(error);
  return result;
}

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
// A segment whose connection broke, stalled or met a passing server fault
// is asked for again from its first missing byte, up to this many times,
// after pauses of 1, 2, 4, 8 and 16 s (RetryPauseMs).
constexpr int kMaxSegmentRetries = 5;
// The pauses are slept in steps of this, so a stop request is heard.
constexpr uint32_t kRetryPauseStepMs = 100;
// The pause before retry `retry` (1 for the first).
uint32_t RetryPauseMs(int retry);
// Each segment worker moves its body in blocks of this size: one buffer
// per worker, filled from the socket and written out whole, after which the
// worker's start in the plan file follows.
constexpr int kSegmentBlockBytes = 128 * 1024;
// Each worker starts the disk writes of what it wrote in runs of this size.
constexpr int64_t kWritebackBytes = 8 * 1024 * 1024;
// The buffer of the digest's read of the part file.
constexpr int64_t kReadBackBytes = 256 * 1024;
// A connection that has finished its range takes the larger half of what
// the range that would take longest still needs, when that is at least
// twice this; the connection that had it stops at the new end.
constexpr int64_t kSplitFloorBytes = 256 * 1024;
// Nor is a range split that its connection would finish within this: a
// new request costs more than it saves, and the connection cut short
// wastes what was on its way.
constexpr int64_t kSplitMinMillis = 300;
// A connection that finds nothing to take while a range large enough to
// split is being fetched looks again after this.
constexpr uint32_t kSplitRecheckMillis = 10;
// A connection that has asked one source and had no answer for this long,
// or three times the slowest answer of the run when that is longer, while
// another source answers, is ended by another connection and its source
// set aside: a connection with nothing left to do takes its range over
// whole, else the ended one asks another source for it at once. A mirror
// that accepts and never answers then costs the run this, not the head's
// time-out. Only while two sources or more are left: with one, the
// time-outs decide.
constexpr int64_t kHandOverMillis = 1000;
// A package of at most this size starts as the probe's answer and one
// request for its first 100 bytes: on a fast path one connection brings it
// as soon as four, and no connection is cut short. On a slow path the
// other connections still split the probe's range once its rate shows. A
// larger package is four quarters asked for with their ends, the probe
// closed after its head: read as the first quarter, the probe's answer
// would save one request, but would stop inside the server's stream at
// the quarter's end, where a paced server makes the last bytes wait for
// its next burst, and would lose what was in flight just as the early
// close does.
constexpr int64_t kOneConnectionBytes = 8 * 1024 * 1024;

// What the probe learned.
struct ProbeAnswer {
  HttpUrl url;            // where the file is, after the redirects
  std::string referer;    // the URL that redirected there; empty if none
  int64_t size = 0;       // the package's size in bytes; -1 when a
                          // whole-file answer came chunked or without a
                          // length: its body alone tells
  bool ranges = false;    // the server serves byte ranges
  bool until_close = false;  // that answer's body ends with the connection
  bool dated = false;     // a Last-Modified that gives a time came
  Time64 modified;        // that time (UTC)
  std::string etag;       // the ETag as sent; empty when none came
  std::string proxy_description;  // the first proxy route; empty direct
};

// The plan of one download: its files, and the ranges of bytes still
// needed. With ranges it is kept on disk as the plan file.
//
// The files beside the package (save path + suffix):
//   .part       the package's bytes at their offsets, full size from the
//               start (sparse where the system allows); renamed over the
//               package when complete and checked
//   .plan       the record of the ranges (four-part mode only)
//   .plan.new   the record being written, renamed over .plan
//   .down, .down0 ... .down3
//               what an older client leaves (its record and four segment
//               files): taken into .part once, then removed
struct DownloadPlan {
  std::string save_path;    // the package file
  std::string plan_path;    // save path + ".plan"
  std::string part_path;    // save path + ".part"
  ResumeRecord record;
  int64_t size = 0;            // the package's size; -1 (one connection
                               // only) until the body has told it
  bool ranged = false;         // ranges; else one whole-file answer
  int connections = 1;         // how many connections fetch the ranges
  // Per range: the connection that fetches it first (-1: the first that
  // is free). A connection fetches its own ranges in file order.
  std::vector<int> first_owner;
  bool resumed = false;        // a kept part file is continued
  bool dropped_other = false;  // a plan for another URL was thrown away
  bool took_over = false;      // an older client's segment files were taken

  int SegmentCount() const { return ranged ? connections : 1; }
  // The older layout's record (save path + ".down") and segment files.
  std::string OldRecordPath() const { return save_path + ".down"; }
  std::string OldSegmentPath(int index) const;
};

// The offset in the plan file of the 8-byte start of range `index` (its
// end follows it), for a record whose URL, save path and ranges are as in
// `record`, as this client writes the plan (PlanLayout::kSlots).
int64_t StartFieldOffset(const ResumeRecord& record, int index);

struct Exchange;

// What the preparation found: the probe's answer and the plan, or why it
// failed (then `plan` holds what was known by then). `answer` is the
// probe's connection with its answer's body still to read, when that body
// is the first range of the plan (or the whole file).
struct Prepared {
  Prepared();
  Prepared(Prepared&&);
  Prepared& operator=(Prepared&&);
  ~Prepared();
  StepResult result;
  ProbeAnswer probe;
  DownloadPlan plan;
  std::unique_ptr<Exchange> answer;
  int answer_range = -1;  // the range that answer brings
};

// A place the package is fetched from: the URL the probe reached, or a
// mirror with the same bytes.
struct Source {
  HttpUrl url;
  std::string referer;  // the URL that redirected there; empty if none
  bool aside = false;   // failed: not asked again in this run
};

// Lets another connection end the one an exchange waits on (a server that
// accepts and never answers): it knows the socket of the exchange it is
// given to, from the connect on, and Interrupt ends that socket and any it
// is given after, until Reset.
class Interrupter {
 public:
  void Attach(platform::Socket* socket);
  void Detach(platform::Socket* socket);
  void Interrupt();
  bool interrupted();
  void Reset();

 private:
  std::mutex mutex_;
  platform::Socket* socket_ = nullptr;
  bool interrupted_ = false;
};

// What the connections of one download share while they run. The probe's
// answer and the plan are filled before the first connection starts.
// Each connection writes only its own result. Who fetches which range,
// and where every range starts and ends, change under `work`; the digest
// and how far it reaches under `hashing`.
struct Transfer {
  Transfer();
  ~Transfer();
  ProbeAnswer probe;
  DownloadPlan plan;
  std::unique_ptr<platform::Sha256> digest;  // null: no digest announced
  int64_t hashed = 0;  // the digest holds the part file's first bytes
  StepResult results[kSegmentCount];
  // The whole file through one connection after the ranges answered for
  // different files: that one answer is the package, whatever it is dated.
  bool one_answer = false;
  // The probe's answer, handed to connection 0 for range `answer_range`.
  std::unique_ptr<Exchange> answer;
  int answer_range = -1;

  std::mutex work;
  // Where the ranges come from: the probe's URL first, then the mirrors.
  std::vector<Source> sources;
  // Per range of the plan: the connection fetching it (-1 none); the offset
  // below which its connection may have received bytes (a split never cuts
  // below it); whether it failed for good (nobody takes it again).
  std::vector<int> owner;
  std::vector<int64_t> reach;
  std::vector<bool> failed;
  // Per range: since when (monotonic ms, 0 before its first answer) and
  // from which start its connection has been bringing it, and up to where
  // it has received (written or not), for its rate.
  std::vector<int64_t> since_ms;
  std::vector<int64_t> since_start;
  std::vector<int64_t> received;
  // Per range: since when its connection has been waiting for the answer
  // under way (monotonic ms, 0 none), and the source it asked.
  std::vector<int64_t> asked_ms;
  std::vector<int> asked_source;
  // The longest an answer's head took to come in this run, connect
  // included.
  int64_t slowest_head_ms = 0;
  // Per connection: ends its exchange when another takes its range over.
  Interrupter lanes[kSegmentCount];

  std::mutex hashing;
};

// Where a download ended, for the lines that say so.
enum class DownloadStage {
  kDone,      // the package file is the new package
  kPrepare,   // the URL, the probe or the plan failed; `failure` says why
  kWorkers,   // a worker could not be started or waited for
  kFinish,    // the transfer did not give a package; `failure` says why,
              // `segments` what each segment came to
  kStopped,   // the workers were asked to stop
};

// What Download came to.
struct DownloadResult {
  DownloadStage stage = DownloadStage::kDone;
  StepResult failure;
  // After kFinish: each segment's result (SegmentCount() of them).
  StepResult segments[kSegmentCount];
  int segment_count = 0;
  // After kWorkers or kFinish: the plan rewritten with the starts where
  // the workers stopped, so the next run resumes there (ok when written,
  // and when there was nothing to write).
  platform::Status progress;
  std::string proxy_description;  // the first proxy route; empty direct
  bool dropped_other = false;     // a plan for another URL was thrown away
  bool one_answer = false;        // the four answers disagreed: one connection
  bool ok() const { return stage == DownloadStage::kDone; }
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
  // SHA-256 (32 bytes; empty for any). Set before Download.
  void SetExpectedPackage(int64_t size, const std::string& sha256) {
    expected_size_ = size;
    expected_sha256_ = sha256;
  }
  // The smallest range a split leaves, and the size from which a package
  // is fetched over several connections; tests make them small.
  void SetSharing(int64_t split_floor, int64_t one_connection_bytes) {
    split_floor_ = split_floor;
    one_connection_bytes_ = one_connection_bytes;
  }
  // More places that serve the same bytes (http or https URLs). They are
  // used only when both the size and the SHA-256 are set, which prove
  // whatever they send: the connections then spread over the package URL
  // and them, and a source that fails is set aside for the rest of the run
  // while the others take its ranges. Set before Download.
  void SetMirrors(std::vector<std::string> urls) { mirrors_ = std::move(urls); }

  // The whole download of `url` into `save_path`: prepare, start the
  // workers (four, or one without ranges), wait for them without a bound
  // of its own (every connection has its bounds), and finish the package.
  // Nothing is shown or logged here; the result says what happened.
  DownloadResult Download(const std::string& url, const std::string& save_path);

  // Asks the server at `url` for the bytes from offset 100 on and learns
  // the size, range support and validators, following redirects. `method`
  // 0 sends GET, anything else HEAD. With `open` given, a GET answer whose
  // body is to come is left there, its connection open, for its body to be
  // read; otherwise the connection is closed after the head.
  StepResult ProbeSize(const HttpUrl& url, int method, ProbeAnswer* answer,
                       std::unique_ptr<Exchange>* open = nullptr) const;

  // Parses the URL, reads the plan file, probes and fixes the plan; in
  // four-part mode the plan is on disk before this succeeds.
  Prepared PrepareDownload(const std::string& url,
                           const std::string& save_path) const;

  // Connection `index` of `transfer`, run on a worker thread: it fetches
  // a range no connection has, and when none is left takes over the larger
  // half of what the largest range being fetched still needs, until no
  // work is left; its result goes to transfer->results[index]. A transient
  // failure is retried from the range's first missing byte (one
  // connection: from the file's first byte), kMaxSegmentRetries times at
  // most.
  void DownloadSegment(Transfer* transfer, int index) const;

  // Makes the part file the package: checks that every segment is
  // complete and that the part file has the package's size, with an
  // announced SHA-256 finishes the digest (reading back only what the
  // transfer did not hash) and compares it, then renames the part file over
  // the package file and deletes the plan. Anything short of kOk leaves the
  // package file as it was, and the part file and plan too unless the
  // digest did not match.
  StepResult FinishPackage(Transfer* transfer) const;

  // What the download tells as it goes, each call when it happens. Set
  // before Download; either may be empty.
  struct Observer {
    // On a worker's thread, before each retry of its segment: the
    // transfer, the segment, the retry's number (1 for the first), why the
    // attempt before failed and the pause before the retry.
    std::function<void(const Transfer& transfer, int index, int retry,
                       const StepResult& why, uint32_t pause_ms)>
        retrying;
    // Before the whole file is asked for through one connection, because
    // the segments' answers were of different files.
    std::function<void(const Transfer& transfer)> one_answer;
    // On a worker's thread, when a source failed and is set aside: its
    // URL and why.
    std::function<void(const Transfer& transfer, const std::string& url,
                       const StepResult& why)>
        source_set_aside;
  };
  void SetObserver(Observer observer) { observer_ = std::move(observer); }

  // Asks worker `index` to stop at its next block; it keeps what it wrote.
  void RequestStop(int index) { stop_[index].store(1); }

 private:
  // Whether the kept record may be continued for the probe's file, with
  // the part file (or, for an older client's record, its segment files).
  bool MayResume(const std::string& raw, PlanLayout layout, bool old_layout,
                 Prepared* prepared) const;
  // Fits the record's starts to what is on disk; false when it cannot be
  // trusted and the download must be planned afresh.
  bool ReconcileWithPartFile(Prepared* prepared) const;
  bool ReconcileWithOldSegments(DownloadPlan* plan) const;
  // Copies an older client's segment files into the part file at their
  // offsets; false when that failed (then nothing of them is kept).
  bool TakeOverOldLayout(const DownloadPlan& plan) const;
  // Writes `record` to the plan file through a temporary file renamed over
  // it; the status says which file failed and why.
  platform::Status WriteRecord(const DownloadPlan& plan) const;
  // The plan of the probe's file from its first byte.
  void PlanFresh(const ProbeAnswer& probe, DownloadPlan* plan) const;
  // Whether the disk has room for the bytes the part file still lacks; a
  // kDiskFull status naming the part file when the system says it has not.
  platform::Status CheckRoom(const DownloadPlan& plan) const;
  // Deletes an older client's record and segment files, the record first.
  void RemoveOldLayout(const DownloadPlan& plan) const;
  // Deletes the plan (four-part mode) and the part file, the plan first.
  void RemovePartialFiles(const DownloadPlan& plan) const;
  // Starts the workers and waits for them; false (with `failure` set) when
  // a thread could not be started or waited for.
  bool RunWorkers(Transfer* transfer, StepResult* failure);
  // The range connection `index` fetches next, -1 when no work is left.
  int TakeWork(Transfer* transfer, int index) const;
  // Whether a range being fetched is large enough to be split later, or
  // may be taken over when its answer does not come.
  bool MayHelpLater(Transfer* transfer) const;
  // Whether the probe's answer of a package of `size` with ranges is read
  // as its bytes (else it is closed after its head).
  bool ReadsProbeAnswer(int64_t size) const {
    return size <= one_connection_bytes_ || size < 8 * 100;
  }
  // Whether a range whose answer from `source` does not come may be taken
  // over: that source was set aside, or another one is left. The caller
  // holds `work`.
  bool MayHandOver(const Transfer& transfer, int source) const;
  // The range whose connection has waited for an answer from another
  // source than `index`'s for kHandOverMillis (or three times the slowest
  // answer), or from a source set aside meanwhile; -1 when none. The clock
  // is read only when a connection waits on an answer. The caller holds
  // `work`.
  int SilentRange(const Transfer& transfer, int index) const;
  // Range `range` through connection `index`, retried as DownloadSegment
  // says; `open` is the connection kept from the answer before.
  StepResult FetchRange(Transfer* transfer, int index, int range,
                        std::unique_ptr<Exchange>* open) const;
  // One attempt at range `range`: one request (or the probe's answer), and
  // its answer's body written at its offsets from where the range stands.
  StepResult FetchSegment(Transfer* transfer, int index, int range,
                          std::unique_ptr<Exchange>* open, int source) const;
  // The source connection `index` asks next.
  int PickSource(Transfer* transfer, int index) const;
  // The same, for a caller that holds `work`.
  int SourceOf(const Transfer& transfer, int index) const;
  // Sets `source` aside after `why`, when another source is left and the
  // failure is the source's; true when it was.
  bool SetAside(Transfer* transfer, int source, const StepResult& why) const;
  // Adds the bytes on disk from where the digest stands to it, as far as
  // they reach; the caller holds `hashing`.
  void CatchUpDigest(Transfer* transfer) const;
  // The plan of a fresh download over ranges, the probe's answer (from
  // byte 100) taking the first.
  void PlanRanges(DownloadPlan* plan) const;

  const platform::Env* env_;
  uint32_t connect_timeout_ms_ = kConnectTimeoutMs;
  uint32_t receive_timeout_ms_ = kReceiveTimeoutMs;
  int64_t expected_size_ = -1;
  std::string expected_sha256_;
  std::vector<std::string> mirrors_;
  int64_t split_floor_ = kSplitFloorBytes;
  int64_t one_connection_bytes_ = kOneConnectionBytes;
  // With both a SHA-256 and a size announced, the bytes are proven at the
  // end, so the server's validators need not agree from answer to answer.
  bool Pinned() const {
    return !expected_sha256_.empty() && expected_size_ >= 0;
  }

  Observer observer_;
  std::atomic<int32_t> stop_[kSegmentCount] = {};
};

struct ResponseHead;
// Reads one answer to the probe into `answer` (size, ranges, validators).
// A redirect leaves its resolved target in `*next`; a failure its outcome
// and status in `*failure`.
ProbeResult ReadProbeAnswer(const ResponseHead& head, ProbeAnswer* answer,
                            HttpUrl* next, StepResult* failure);

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
