#include "tests/unit/crash_file_system.h"

#include <filesystem>

#include "tests/unit/fake_env.h"

namespace vorn::testing {

class CrashingFile : public ForwardingFile {
 public:
  CrashingFile(std::unique_ptr<platform::File> target, CrashingFileSystem* fs,
               std::string path)
      : ForwardingFile(std::move(target)), fs_(fs), path_(std::move(path)) {}
  platform::Status Write(const char* buf, int64_t n) override {
    if (!fs_->Live()) return Dead(path_);
    return Step(target_->Write(buf, n));
  }
  platform::Status WriteAt(int64_t offset, const char* buf,
                           int64_t n) override {
    if (!fs_->Live()) return Dead(path_);
    return Step(target_->WriteAt(offset, buf, n));
  }
  platform::Status SetLength(int64_t length) override {
    if (!fs_->Live()) return Dead(path_);
    return Step(target_->SetLength(length));
  }
  platform::Status Sync() override {
    if (!fs_->Live()) return Dead(path_);
    platform::Status synced = target_->Sync();
    if (synced.ok()) fs_->Flushed(path_);
    return synced;
  }

 private:
  platform::Status Step(platform::Status status) {
    if (status.ok()) fs_->Stepped();
    return status;
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

platform::Status CrashingFileSystem::Open(
    const std::string& path, platform::OpenMode mode,
    std::unique_ptr<platform::File>* file) {
  if (!Live()) return Dead(path);
  std::unique_ptr<platform::File> opened;
  platform::Status status = target_->Open(path, mode, &opened);
  if (!status.ok()) return status;
  if (mode != platform::OpenMode::kRead) Stepped();
  *file = std::make_unique<CrashingFile>(std::move(opened), this, path);
  return status;
}

platform::Status CrashingFileSystem::RemoveFile(const std::string& path) {
  if (!Live()) return Dead(path);
  platform::Status removed = target_->RemoveFile(path);
  if (removed.ok()) Stepped();
  return removed;
}

platform::Status CrashingFileSystem::RenameOver(const std::string& from,
                                                const std::string& to) {
  if (!Live()) return Dead(to);
  std::string data = ReadAll(from);
  platform::Status renamed = target_->RenameOver(from, to);
  if (!renamed.ok()) return renamed;
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
  return renamed;
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
