// Test doubles for the platform services: a scripted clock that never
// sleeps, a scripted internet client, a window tree in memory, a recording
// desktop, a scripted process, and sockets that hand out chosen bytes in
// chosen chunks. Files stay real (a fresh temporary directory per test),
// with a wrapper that makes writes fail on demand.
#ifndef VORN_TESTS_UNIT_FAKE_ENV_H_
#define VORN_TESTS_UNIT_FAKE_ENV_H_

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/env.h"

namespace vorn::testing {

class FakeClock : public platform::Clock {
 public:
  platform::LocalFields LocalNow() override { return local; }
  int64_t NowSeconds() override { return now_seconds; }
  // Advances by every sleep, and by `step_ms` at every reading (a network
  // that takes that long between two looks at the clock).
  int64_t MonotonicMillis() override { return monotonic_ms += step_ms; }
  void SleepMillis(uint32_t ms) override;

  platform::LocalFields local{2026, 12, 6, 21, 54, 0};
  std::atomic<int64_t> now_seconds{1800000000};
  std::atomic<int64_t> monotonic_ms{0};
  std::atomic<int64_t> step_ms{0};
  std::vector<uint32_t> sleeps;
  std::mutex sleeps_lock;
  // Called on every sleep, for tests that act "during" a pause.
  std::function<void(uint32_t)> on_sleep;
};

class FakeInternet : public platform::InternetClient {
 public:
  platform::FetchResult Fetch(const std::string& url,
                              const std::string& user_agent) override;

  // Answers in order; when they run out, every further call fails.
  std::deque<platform::FetchResult> answers;
  std::vector<std::string> urls;
  std::vector<std::string> agents;
};

class FakeWindows : public platform::WindowSystem {
 public:
  struct Window {
    platform::WindowHandle parent;
    std::string window_class;
    std::string caption;
    bool alive = true;
  };
  // Adds a window (children after their parent, in z-order) and returns
  // its handle.
  platform::WindowHandle Add(platform::WindowHandle parent,
                             const std::string& window_class,
                             const std::string& caption);

  platform::WindowHandle FindWindowAfter(platform::WindowHandle parent,
                                         platform::WindowHandle after,
                                         const char* window_class,
                                         const char* caption) override;
  bool IsLiveWindow(platform::WindowHandle window) override;
  void SendCommand(platform::WindowHandle window, uint32_t command) override;

  std::vector<Window> windows;  // handle = index + 1
  // Windows destroyed between the search and the check.
  bool gone_before_check = false;
  std::vector<std::pair<platform::WindowHandle, uint32_t>> commands;
  std::vector<std::string> events;  // shared order log, see FakeDesktop
};

class FakeDesktop : public platform::Desktop {
 public:
  void ShowMessageBox(const std::string& caption,
                      const std::string& text) override;
  void WriteStandardError(const std::string& text) override {
    errors.push_back(text);
  }
  void WriteLostLogLine(const std::string& line) override {
    lost_lines.push_back(line);
  }
  void OpenWithShell(const std::string& path) override;

  std::vector<std::pair<std::string, std::string>> boxes;
  std::vector<std::string> errors;
  std::vector<std::string> lost_lines;
  std::vector<std::string> opened;
  std::vector<std::string>* events = nullptr;  // optional shared order log
};

class FakeProcess : public platform::Process {
 public:
  bool GuardAlreadyExists(const std::string& name) override {
    guard_names.push_back(name);
    return guard_exists;
  }
  std::string CommandLine() override { return command_line; }
  std::string ApplicationName() override { return app_name; }
  std::string ExecutablePath() override { return executable_path; }
  // Reads beside `executable_path` through `files` (the env's).
  platform::FileKind ReadBesideExecutable(const std::string& extension,
                                          int64_t limit,
                                          std::string* out) override;

  bool guard_exists = false;
  std::string command_line;
  std::string app_name = "vornupdate";
  // In a directory that does not exist: no key beside it.
  std::string executable_path = "vorn-no-such-directory/vornupdate.exe";
  platform::FileSystem* files = nullptr;
  std::vector<std::string> guard_names;
};

// A toy digest and a scripted signature check, so that the core's use of
// them (what is hashed, what is verified against which key) can be seen.
// The "digest" is 32 bytes of running sums; it is no SHA-256.
class FakeCrypto : public platform::Crypto {
 public:
  std::unique_ptr<platform::Sha256> NewSha256() override;
  bool VerifyP256(const std::string& public_key, const std::string& message,
                  const std::string& signature) override;

  // The toy digest of `data`, for expected values.
  static std::string Digest(const std::string& data);

  // VerifyP256 answers true when the signature is `good_signature`.
  std::string good_signature = std::string(64, '\x5A');
  std::vector<std::string> verified_messages;
  std::vector<std::string> verified_keys;
  int hashes_started = 0;
};

// A connection's script: what Connect answers, the chunks that Receive hands
// out (one chunk per call, split to the caller's size), and what comes after
// the last chunk (0 for a close, -1 for an error or time-out).
struct SocketScript {
  bool connect_ok = true;
  std::vector<std::string> chunks;
  int after_chunks = 0;
  bool send_ok = true;  // false: every Send fails (a reset connection)
  // What StartTls answers: kOk hands the plain chunks on as if decrypted;
  // any other kind fails the hand-shake with it.
  platform::ErrorKind tls = platform::ErrorKind::kOk;
};

class FakeNetwork : public platform::Network {
 public:
  std::unique_ptr<platform::Socket> NewSocket() override;

  // Scripts by "host:port"; each new connection to that place takes the
  // next script (the last one is reused). Unknown places refuse.
  void Script(const std::string& host_port, SocketScript script);
  // Answers every connection to `host_port` from the request it was sent
  // (taken at the first receive), e.g. a server that honours ranges.
  using Responder = std::function<SocketScript(const std::string& request)>;
  void Serve(const std::string& host_port, Responder responder);

  struct Connection {
    std::string host_port;
    std::string sent;
    std::string tls_host;  // the name StartTls was given; empty: plain
  };
  std::vector<Connection> Connections();

 private:
  friend class FakeSocket;
  std::mutex mu_;
  std::map<std::string, std::vector<SocketScript>> scripts_;
  std::map<std::string, Responder> responders_;
  std::map<std::string, size_t> used_;
  std::vector<std::shared_ptr<Connection>> connections_;
};

// Routes by "host:port" for http and "https://host:port" for https
// (direct for every other place); records every place asked about, the
// same way.
class FakeProxy : public platform::ProxyResolver {
 public:
  platform::ProxyRoute RouteFor(const std::string& host, uint16_t port,
                                bool secure) override;
  // The same route for every place.
  void RouteAll(const platform::ProxyRoute& route);
  void Route(const std::string& host_port, const platform::ProxyRoute& route);
  std::vector<std::string> Asked();

 private:
  std::mutex mu_;
  bool all_ = false;
  platform::ProxyRoute all_route_;
  std::map<std::string, platform::ProxyRoute> routes_;
  std::vector<std::string> asked_;
};

// An HTTP proxy route to host:port, with `authorization` if not empty.
platform::ProxyRoute HttpProxy(const std::string& host, uint16_t port,
                               const std::string& authorization = "");

// A file that hands every call to another; the doubles below override what
// they change.
class ForwardingFile : public platform::File {
 public:
  explicit ForwardingFile(std::unique_ptr<platform::File> target)
      : target_(std::move(target)) {}
  platform::Status SeekToEnd() override { return target_->SeekToEnd(); }
  int64_t Length() override { return target_->Length(); }
  platform::Status Read(char* buf, int64_t n, int64_t* got) override {
    return target_->Read(buf, n, got);
  }
  platform::Status ReadAt(int64_t offset, char* buf, int64_t n,
                          int64_t* got) override {
    return target_->ReadAt(offset, buf, n, got);
  }
  platform::Status Write(const char* buf, int64_t n) override {
    return target_->Write(buf, n);
  }
  platform::Status WriteAt(int64_t offset, const char* buf,
                           int64_t n) override {
    return target_->WriteAt(offset, buf, n);
  }
  platform::Status SetLength(int64_t length) override {
    return target_->SetLength(length);
  }
  platform::Status Sync() override { return target_->Sync(); }
  void StartWriteback(int64_t offset, int64_t n) override {
    target_->StartWriteback(offset, n);
  }
  int64_t DataEnd(int64_t offset, int64_t limit) override {
    return target_->DataEnd(offset, limit);
  }
  bool IsNamedBy(const std::string& path) override {
    return target_->IsNamedBy(path);
  }
  platform::Status Close() override { return target_->Close(); }

 protected:
  std::unique_ptr<platform::File> target_;
};

// Forwards to another file system; writes fail while `fail_writes` is set,
// and renames fail while `fail_renames` is set, each as the system would
// say `fail_kind` (a full disk unless told otherwise).
class FailingFileSystem : public platform::FileSystem {
 public:
  explicit FailingFileSystem(platform::FileSystem* target) : target_(target) {}
  platform::Status MakeDirectory(const std::string& path) override {
    return target_->MakeDirectory(path);
  }
  platform::DirectoryTrust TrustOf(const std::string& path) override {
    return target_->TrustOf(path);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override;
  platform::Status RemoveFile(const std::string& path) override {
    return target_->RemoveFile(path);
  }
  platform::Status RenameOver(const std::string& from,
                              const std::string& to) override {
    if (fail_renames && (fail_writes_matching.empty() ||
                         from.find(fail_writes_matching) != std::string::npos)) {
      return Failure(to);
    }
    return target_->RenameOver(from, to);
  }
  // The status of a failed call on `path`.
  platform::Status Failure(const std::string& path) const {
    return platform::Status::Error(fail_kind, path, 28, "injected failure");
  }
  int64_t FileLength(const std::string& path) override {
    return target_->FileLength(path);
  }
  platform::FileKind KindOf(const std::string& path) override {
    return target_->KindOf(path);
  }
  int64_t FreeSpace(const std::string& path) override {
    return free_space != kRealFreeSpace ? free_space : target_->FreeSpace(path);
  }

  static constexpr int64_t kRealFreeSpace = -2;
  // What FreeSpace answers (-1: the system cannot tell); the real file
  // system's answer while kRealFreeSpace.
  int64_t free_space = kRealFreeSpace;
  bool fail_writes = false;
  // When not empty, only writes to paths that contain it fail, and only
  // renames of such paths.
  std::string fail_writes_matching;
  bool fail_renames = false;
  platform::ErrorKind fail_kind = platform::ErrorKind::kDiskFull;

 private:
  platform::FileSystem* target_;
};

// An Env of doubles over the real files and threads.
struct FakeEnv {
  FakeEnv();
  FakeClock clock;
  FakeInternet internet;
  FakeWindows windows;
  FakeDesktop desktop;
  FakeProcess process;
  FakeNetwork network;
  FakeCrypto crypto;
  FakeProxy proxies;
  FailingFileSystem files;
  platform::Env env;
};

// A fresh empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // path + separator + name
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers for assertions.
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& data);
bool Exists(const std::string& path);

}  // namespace vorn::testing

#endif  // VORN_TESTS_UNIT_FAKE_ENV_H_
