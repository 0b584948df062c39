#include "tests/unit/crash_file_system.h"

#include <filesystem>

#include "tests/unit/fake_env.h"

namespace vorn::testing {

class CrashingFile : public ForwardingFile {
 public:
  CrashingFile(std::unique_ptr<platform::File> target, CrashingFileSystem* fs,
               std::string path)
      : ForwardingFile(std::move(target)), fs_(fs), path_(std::move(path)) {}
  bool Write(const char* buf, int64_t n) override {
    return Step(fs_->Live() && target_->Write(buf, n));
  }
  bool WriteAt(int64_t offset, const char* buf, int64_t n) override {
    return Step(fs_->Live() && target_->WriteAt(offset, buf, n));
  }
  bool SetLength(int64_t length) override {
    return Step(fs_->Live() && target_->SetLength(length));
  }
  bool Sync() override {
    if (!fs_->Live() || !target_->Sync()) return false;
    fs_->Flushed(path_);
    return true;
  }

 private:
  bool Step(bool ok) {
    if (ok) fs_->Stepped();
    return ok;
  }
  CrashingFileSystem* fs_;
  std::string path_;
};

namespace {

std::map<std::string, std::string> Contents(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    out[entry.path().filename().string()] = ReadAll(entry.path().string());
  }
  return out;
}

}  // namespace

CrashingFileSystem::CrashingFileSystem(platform::FileSystem* target,
                                       std::string dir)
    : target_(target), dir_(std::move(dir)), durable_(Contents(dir_)) {
  flushed_ = durable_;
}

bool CrashingFileSystem::Live() {
  std::lock_guard<std::mutex> lock(mu_);
  return !cut_;
}

void CrashingFileSystem::Stepped() {
  std::lock_guard<std::mutex> lock(mu_);
  if (++steps_ == cut_after) cut_ = true;
}

std::string CrashingFileSystem::Name(const std::string& path) const {
  return std::filesystem::path(path).filename().string();
}

void CrashingFileSystem::Flushed(const std::string& path) {
  std::string data = ReadAll(path);
  std::lock_guard<std::mutex> lock(mu_);
  flushed_[Name(path)] = data;
  if (durable_.count(Name(path)) != 0) durable_[Name(path)] = data;
}

std::unique_ptr<platform::File> CrashingFileSystem::Open(
    const std::string& path, platform::OpenMode mode) {
  if (!Live()) return nullptr;
  std::unique_ptr<platform::File> file = target_->Open(path, mode);
  if (!file) return nullptr;
  if (mode != platform::OpenMode::kRead) Stepped();
  return std::make_unique<CrashingFile>(std::move(file), this, path);
}

bool CrashingFileSystem::RemoveFile(const std::string& path) {
  if (!Live() || !target_->RemoveFile(path)) return false;
  Stepped();
  return true;
}

bool CrashingFileSystem::RenameOver(const std::string& from,
                                    const std::string& to) {
  if (!Live()) return false;
  std::string data = ReadAll(from);
  if (!target_->RenameOver(from, to)) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    flushed_.erase(Name(from));
    flushed_[Name(to)] = data;
    // The directory flushed: every name as it stands now, with the data
    // flushed into it (none: an empty file).
    std::map<std::string, std::string> names;
    for (const auto& [name, content] : Contents(dir_)) {
      (void)content;
      names[name] = flushed_.count(name) != 0 ? flushed_[name] : "";
    }
    durable_ = names;
  }
  Stepped();
  return true;
}

void CrashingFileSystem::Restore() {
  for (const auto& [name, content] : Contents(dir_)) {
    (void)content;
    if (durable_.count(name) == 0) std::filesystem::remove(dir_ + "/" + name);
  }
  for (const auto& [name, content] : durable_) {
    WriteAll(dir_ + "/" + name, content);
  }
}

}  // namespace vorn::testing
