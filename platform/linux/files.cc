// Files on POSIX. The update log's "no sharing" open is an exclusive,
// non-blocking flock: a process that holds the lock makes the open fail at
// once instead of waiting, as a sharing violation does on Windows.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/linux/linux_common.h"

namespace vorn::platform {
const char kPathSeparator[] = "/";
}  // namespace vorn::platform

namespace vorn::platform::linux_os {
namespace {

class LinuxFile final : public File {
 public:
  explicit LinuxFile(int fd) : fd_(fd) {}
  ~LinuxFile() override { Close(); }

  bool SeekToEnd() override { return ::lseek(fd_, 0, SEEK_END) >= 0; }

  int64_t Length() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  int64_t Read(char* buf, int64_t n) override {
    for (;;) {
      ssize_t got = ::read(fd_, buf, static_cast<size_t>(n));
      if (got < 0 && errno == EINTR) continue;
      return got;
    }
  }

  int64_t ReadAt(int64_t offset, char* buf, int64_t n) override {
    for (;;) {
      ssize_t got = ::pread(fd_, buf, static_cast<size_t>(n),
                            static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      return got;
    }
  }

  bool Write(const char* buf, int64_t n) override {
    while (n > 0) {
      ssize_t put = ::write(fd_, buf, static_cast<size_t>(n));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      buf += put;
      n -= put;
    }
    return true;
  }

  bool WriteAt(int64_t offset, const char* buf, int64_t n) override {
    while (n > 0) {
      ssize_t put = ::pwrite(fd_, buf, static_cast<size_t>(n),
                             static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      buf += put;
      n -= put;
      offset += put;
    }
    return true;
  }

  bool SetLength(int64_t length) override {
    return ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
  }

  bool Close() override {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
};

}  // namespace

FileKind KindOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    return S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
  }
  // A name that is there but leads nowhere (a dangling link, a loop) is
  // not "missing".
  if (errno == ENOENT && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
    return FileKind::kMissing;
  }
  return FileKind::kOther;
}

namespace {

class LinuxFileSystem final : public FileSystem {
 public:
  bool MakeDirectory(const std::string& path) override {
    return ::mkdir(path.c_str(), 0777) == 0;
  }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kCreateTruncate:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
      case OpenMode::kWriteCreateKeep:
        flags |= O_WRONLY | O_CREAT;
        break;
      case OpenMode::kWriteShared:
        flags |= O_WRONLY | O_CREAT;
        break;
      case OpenMode::kReadWriteExclusive:
        flags |= O_RDWR | O_CREAT;
        break;
    }
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    if (mode == OpenMode::kReadWriteExclusive &&
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<LinuxFile>(fd);
  }

  bool RemoveFile(const std::string& path) override {
    return ::unlink(path.c_str()) == 0;
  }

  bool RenameOver(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0;
  }

  int64_t FileLength(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  FileKind KindOf(const std::string& path) override {
    return linux_os::KindOf(path);
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static LinuxFileSystem files;
  return &files;
}

}  // namespace vorn::platform::linux_os
