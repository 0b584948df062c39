// A file system over the real one that knows what a power cut keeps, for
// the crash tests of the road: data written since a file's last flush is
// lost, and so are the names made or removed since the directory's last
// flush. RenameOver flushes by its contract (the source before, the
// directory after), so a rename that returned counts, and with it every
// name of the directory as it stands. A cut comes after a chosen step
// (a write, an open that creates or empties, a rename or a removal): that
// step happens, and every later call fails, as on a machine that stopped.
#ifndef VORN_TESTS_UNIT_CRASH_FILE_SYSTEM_H_
#define VORN_TESTS_UNIT_CRASH_FILE_SYSTEM_H_

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/files.h"

namespace vorn::testing {

// What every call answers once the machine has stopped.
inline platform::Status Dead(const std::string& path) {
  return platform::Status::Error(platform::ErrorKind::kOther, path, 5,
                                 "the machine stopped");
}

class CrashingFileSystem : public platform::FileSystem {
 public:
  // `dir` is the one directory the road writes in; what it holds now
  // counts as durable.
  CrashingFileSystem(platform::FileSystem* target, std::string dir);

  // The machine stops after this step (counted from 1); 0: never.
  int cut_after = 0;
  bool cut() const { return cut_; }
  // The power comes back: the directory holds what was durable at the cut.
  void Restore();

  platform::Status MakeDirectory(const std::string& path) override {
    return Live() ? target_->MakeDirectory(path) : Dead(path);
  }
  platform::DirectoryTrust TrustOf(const std::string& path) override {
    return target_->TrustOf(path);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override;
  platform::Status RemoveFile(const std::string& path) override;
  platform::Status RenameOver(const std::string& from,
                              const std::string& to) override;
  int64_t FileLength(const std::string& path) override {
    return Live() ? target_->FileLength(path) : -1;
  }
  platform::FileKind KindOf(const std::string& path) override {
    return target_->KindOf(path);
  }
  int64_t FreeSpace(const std::string& path) override {
    return target_->FreeSpace(path);
  }

 private:
  friend class CrashingFile;
  bool Live();
  // Counts one step that happened; the cut comes after it.
  void Stepped();
  // A file's data flushed: kept by a cut once its name is durable.
  void Flushed(const std::string& path);
  std::string Name(const std::string& path) const;

  platform::FileSystem* target_;
  std::string dir_;
  std::mutex mu_;
  int steps_ = 0;
  bool cut_ = false;
  std::map<std::string, std::string> durable_;  // name -> what a cut keeps
  std::map<std::string, std::string> flushed_;  // name -> last flushed data
};

}  // namespace vorn::testing

#endif  // VORN_TESTS_UNIT_CRASH_FILE_SYSTEM_H_
