#include "tests/unit/fake_env.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace vorn::testing {

void FakeClock::SleepMillis(uint32_t ms) {
  {
    // Workers retrying their segments sleep on their own threads.
    std::lock_guard<std::mutex> hold(sleeps_lock);
    sleeps.push_back(ms);
  }
  now_seconds += ms / 1000;
  monotonic_ms += ms;
  if (on_sleep) on_sleep(ms);
}

platform::FetchResult FakeInternet::Fetch(const std::string& url,
                                          const std::string& agent) {
  urls.push_back(url);
  agents.push_back(agent);
  if (answers.empty()) {
    platform::FetchResult failed;
    failed.status = platform::FetchStatus::kError;
    failed.error = platform::Status::Error(platform::ErrorKind::kOther, url, 0,
                                           "no answer scripted");
    return failed;
  }
  platform::FetchResult next = answers.front();
  answers.pop_front();
  return next;
}

platform::WindowHandle FakeWindows::Add(platform::WindowHandle parent,
                                        const std::string& window_class,
                                        const std::string& caption) {
  windows.push_back(Window{parent, window_class, caption, true});
  return reinterpret_cast<platform::WindowHandle>(windows.size());
}

platform::WindowHandle FakeWindows::FindWindowAfter(
    platform::WindowHandle parent, platform::WindowHandle after,
    const char* window_class, const char* caption) {
  size_t begin = 0;
  if (after != nullptr) begin = reinterpret_cast<size_t>(after);
  for (size_t i = begin; i < windows.size(); ++i) {
    const Window& w = windows[i];
    if (!w.alive || w.parent != parent) continue;
    if (window_class != nullptr && w.window_class != window_class) continue;
    if (caption != nullptr && w.caption != caption) continue;
    return reinterpret_cast<platform::WindowHandle>(i + 1);
  }
  return nullptr;
}

bool FakeWindows::IsLiveWindow(platform::WindowHandle window) {
  size_t index = reinterpret_cast<size_t>(window);
  if (gone_before_check) return false;
  return index >= 1 && index <= windows.size() && windows[index - 1].alive;
}

void FakeWindows::SendCommand(platform::WindowHandle window, uint32_t command) {
  commands.emplace_back(window, command);
  events.push_back("command");
}

void FakeDesktop::ShowMessageBox(const std::string& caption,
                                 const std::string& text) {
  boxes.emplace_back(caption, text);
  if (events) events->push_back("box");
}

void FakeDesktop::OpenWithShell(const std::string& path) {
  opened.push_back(path);
  if (events) events->push_back("open");
}

class FakeSocket : public platform::Socket {
 public:
  FakeSocket(FakeNetwork* network) : network_(network) {}

  bool Connect(const std::string& host, uint16_t port, uint32_t) override {
    std::string where = host + ":" + std::to_string(port);
    std::lock_guard<std::mutex> lock(network_->mu_);
    connection_ = std::make_shared<FakeNetwork::Connection>();
    connection_->host_port = where;
    where_ = where;
    network_->connections_.push_back(connection_);
    auto served = network_->responders_.find(where);
    if (served != network_->responders_.end()) {
      responder_ = served->second;
      connected_ = true;
      return true;
    }
    auto it = network_->scripts_.find(where);
    if (it == network_->scripts_.end() || it->second.empty()) {
      connected_ = false;
      last_error_ = platform::Status::Error(platform::ErrorKind::kRefused,
                                            where, 111, "Connection refused");
      return false;
    }
    size_t& used = network_->used_[where];
    size_t index = used < it->second.size() ? used : it->second.size() - 1;
    ++used;
    script_ = it->second[index];
    connected_ = script_.connect_ok;
    if (!connected_) {
      last_error_ = platform::Status::Error(platform::ErrorKind::kRefused,
                                            where, 111, "Connection refused");
    }
    return connected_;
  }

  // Scripted answers never wait: there is nothing to end.
  void Interrupt() override {}

  int Send(const std::string& data) override {
    if (!connected_ || !script_.send_ok) {
      last_error_ = platform::Status::Error(platform::ErrorKind::kClosed,
                                            where_, 104, "reset by peer");
      return platform::kSocketError;
    }
    std::lock_guard<std::mutex> lock(network_->mu_);
    connection_->sent += data;
    return static_cast<int>(data.size());
  }

  int Receive(char* buf, int n) override {
    if (!connected_) return platform::kSocketError;
    if (responder_) {
      std::string request;
      {
        std::lock_guard<std::mutex> lock(network_->mu_);
        request = connection_->sent;
      }
      script_ = responder_(request);
      responder_ = nullptr;
    }
    while (next_ < script_.chunks.size() &&
           offset_ >= script_.chunks[next_].size()) {
      ++next_;
      offset_ = 0;
    }
    if (next_ >= script_.chunks.size()) {
      if (script_.after_chunks < 0) {
        last_error_ = platform::Status::Error(platform::ErrorKind::kClosed,
                                              where_, 104, "reset by peer");
      }
      return script_.after_chunks;
    }
    const std::string& chunk = script_.chunks[next_];
    size_t take = chunk.size() - offset_;
    if (take > static_cast<size_t>(n)) take = static_cast<size_t>(n);
    std::memcpy(buf, chunk.data() + offset_, take);
    offset_ += take;
    return static_cast<int>(take);
  }

  void SetReceiveTimeout(uint32_t) override {}
  void Close() override { connected_ = false; }
  bool StartTls(const std::string& host, uint32_t) override {
    std::lock_guard<std::mutex> lock(network_->mu_);
    connection_->tls_host = host;
    if (script_.tls == platform::ErrorKind::kOk) return connected_;
    last_error_ = platform::Status::Error(script_.tls, where_);
    return false;
  }

 private:
  FakeNetwork* network_;
  std::shared_ptr<FakeNetwork::Connection> connection_;
  SocketScript script_;
  FakeNetwork::Responder responder_;
  bool connected_ = false;
  std::string where_;  // host:port, as the real sockets name a connection
  size_t next_ = 0;
  size_t offset_ = 0;
};

std::unique_ptr<platform::Socket> FakeNetwork::NewSocket() {
  return std::make_unique<FakeSocket>(this);
}

void FakeNetwork::Script(const std::string& host_port, SocketScript script) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_[host_port].push_back(std::move(script));
}

void FakeNetwork::Serve(const std::string& host_port, Responder responder) {
  std::lock_guard<std::mutex> lock(mu_);
  responders_[host_port] = std::move(responder);
}

std::vector<FakeNetwork::Connection> FakeNetwork::Connections() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Connection> out;
  for (const auto& c : connections_) out.push_back(*c);
  return out;
}

namespace {

class FailingFile : public ForwardingFile {
 public:
  FailingFile(std::unique_ptr<platform::File> target, FailingFileSystem* fs,
              std::string path)
      : ForwardingFile(std::move(target)), fs_(fs), path_(std::move(path)) {}
  platform::Status Write(const char* buf, int64_t n) override {
    if (Fails()) return fs_->Failure(path_);
    return target_->Write(buf, n);
  }
  platform::Status WriteAt(int64_t offset, const char* buf,
                           int64_t n) override {
    if (Fails()) return fs_->Failure(path_);
    return target_->WriteAt(offset, buf, n);
  }
  platform::Status SetLength(int64_t length) override {
    if (Fails()) return fs_->Failure(path_);
    return target_->SetLength(length);
  }

 private:
  bool Fails() const {
    return fs_->fail_writes &&
           (fs_->fail_writes_matching.empty() ||
            path_.find(fs_->fail_writes_matching) != std::string::npos);
  }
  FailingFileSystem* fs_;
  std::string path_;
};

}  // namespace

platform::Status FailingFileSystem::Open(const std::string& path,
                                        platform::OpenMode mode,
                                        std::unique_ptr<platform::File>* file) {
  std::unique_ptr<platform::File> opened;
  platform::Status status = target_->Open(path, mode, &opened);
  if (!status.ok()) return status;
  *file = std::make_unique<FailingFile>(std::move(opened), this, path);
  return status;
}

platform::FileKind FakeProcess::ReadBesideExecutable(
    const std::string& extension, int64_t limit, std::string* out) {
  out->clear();
  if (executable_path.empty()) return platform::FileKind::kOther;
  std::string path = platform::SiblingWithExtension(executable_path, extension);
  platform::FileKind kind = files->KindOf(path);
  if (kind != platform::FileKind::kRegular) return kind;
  if (!platform::ReadFileBytes(files, path, limit + 1, out).ok() ||
      static_cast<int64_t>(out->size()) > limit) {
    out->clear();
    return platform::FileKind::kOther;
  }
  return kind;
}

FakeEnv::FakeEnv() : files(platform::Env::Default().files) {
  desktop.events = &windows.events;
  process.files = &files;
  env = platform::Env::Default();
  env.clock = &clock;
  env.internet = &internet;
  env.windows = &windows;
  env.desktop = &desktop;
  env.process = &process;
  env.network = &network;
  env.files = &files;
  env.crypto = &crypto;
  env.proxies = &proxies;
}

platform::ProxyRoute FakeProxy::RouteFor(const std::string& host, uint16_t port,
                                         bool secure) {
  std::string where =
      (secure ? "https://" : "") + host + ":" + std::to_string(port);
  std::lock_guard<std::mutex> lock(mu_);
  asked_.push_back(where);
  if (all_) return all_route_;
  auto it = routes_.find(where);
  return it == routes_.end() ? platform::ProxyRoute() : it->second;
}

void FakeProxy::RouteAll(const platform::ProxyRoute& route) {
  std::lock_guard<std::mutex> lock(mu_);
  all_ = true;
  all_route_ = route;
}

void FakeProxy::Route(const std::string& host_port,
                      const platform::ProxyRoute& route) {
  std::lock_guard<std::mutex> lock(mu_);
  routes_[host_port] = route;
}

std::vector<std::string> FakeProxy::Asked() {
  std::lock_guard<std::mutex> lock(mu_);
  return asked_;
}

platform::ProxyRoute HttpProxy(const std::string& host, uint16_t port,
                               const std::string& authorization) {
  platform::ProxyRoute route;
  route.kind = platform::ProxyRoute::Kind::kHttpProxy;
  route.host = host;
  route.port = port;
  route.authorization = authorization;
  route.description = "test=" + host + ":" + std::to_string(port);
  return route;
}

namespace {

class ToySha256 : public platform::Sha256 {
 public:
  void Update(const char* data, size_t n) override {
    for (size_t i = 0; i < n; ++i, ++count_) {
      unsigned char b = static_cast<unsigned char>(data[i]);
      sums_[count_ % 32] =
          static_cast<unsigned char>(sums_[count_ % 32] * 31 + b + 1);
    }
  }
  std::string Final() override {
    std::string out(reinterpret_cast<const char*>(sums_), 32);
    out[0] = static_cast<char>(out[0] ^ static_cast<char>(count_));
    return out;
  }

 private:
  unsigned char sums_[32] = {};
  uint64_t count_ = 0;
};

}  // namespace

std::unique_ptr<platform::Sha256> FakeCrypto::NewSha256() {
  ++hashes_started;
  return std::make_unique<ToySha256>();
}

std::string FakeCrypto::Digest(const std::string& data) {
  ToySha256 h;
  h.Update(data.data(), data.size());
  return h.Final();
}

bool FakeCrypto::VerifyP256(const std::string& public_key,
                            const std::string& message,
                            const std::string& signature) {
  verified_keys.push_back(public_key);
  verified_messages.push_back(message);
  return signature == good_signature;
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  std::ostringstream name;
  name << "vorn-test-" << rd() << "-" << counter++;
  std::filesystem::path p = std::filesystem::temp_directory_path() / name.str();
  std::filesystem::create_directories(p);
  path_ = p.string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const {
  return path_ + platform::kPathSeparator + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace vorn::testing
