// Files on POSIX. The update log's "no sharing" open is an exclusive,
// non-blocking flock: a process that holds the lock makes the open fail at
// once instead of waiting, as a sharing violation does on Windows.
//
// Every open goes through O_NOFOLLOW and O_NONBLOCK (a FIFO planted at a
// name cannot hold the open), and the descriptor is examined before
// anything is written: a regular file with one link, owned by the user or
// root. Truncation comes after that check, never in the open itself, so a
// planted link is refused before it could be emptied.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/linux/linux_common.h"

namespace vorn::platform {
const char kPathSeparator[] = "/";
}  // namespace vorn::platform

namespace vorn::platform::linux_os {

namespace {

class LinuxFile final : public File {
 public:
  LinuxFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~LinuxFile() override { Close(); }

  Status SeekToEnd() override {
    return ::lseek(fd_, 0, SEEK_END) >= 0 ? Status() : Failed();
  }

  int64_t Length() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  Status Read(char* buf, int64_t n, int64_t* got) override {
    for (;;) {
      ssize_t r = ::read(fd_, buf, static_cast<size_t>(n));
      if (r < 0 && errno == EINTR) continue;
      *got = r < 0 ? 0 : r;
      return r < 0 ? Failed() : Status();
    }
  }

  Status ReadAt(int64_t offset, char* buf, int64_t n, int64_t* got) override {
    for (;;) {
      ssize_t r = ::pread(fd_, buf, static_cast<size_t>(n),
                          static_cast<off_t>(offset));
      if (r < 0 && errno == EINTR) continue;
      *got = r < 0 ? 0 : r;
      return r < 0 ? Failed() : Status();
    }
  }

  Status Write(const char* buf, int64_t n) override {
    while (n > 0) {
      ssize_t put = ::write(fd_, buf, static_cast<size_t>(n));
      if (put < 0 && errno == EINTR) continue;
      // A write that takes nothing without an error is a full disk.
      if (put == 0) errno = ENOSPC;
      if (put <= 0) return Failed();
      buf += put;
      n -= put;
    }
    return Status();
  }

  Status WriteAt(int64_t offset, const char* buf, int64_t n) override {
    while (n > 0) {
      ssize_t put = ::pwrite(fd_, buf, static_cast<size_t>(n),
                             static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put == 0) errno = ENOSPC;
      if (put <= 0) return Failed();
      buf += put;
      n -= put;
      offset += put;
    }
    return Status();
  }

  Status SetLength(int64_t length) override {
    return ::ftruncate(fd_, static_cast<off_t>(length)) == 0 ? Status()
                                                             : Failed();
  }

  int64_t DataEnd(int64_t offset, int64_t limit) override {
    off_t hole = ::lseek(fd_, static_cast<off_t>(offset), SEEK_HOLE);
    if (hole < 0) return errno == ENXIO ? offset : limit;  // past the end
    return hole < limit ? static_cast<int64_t>(hole) : limit;
  }

  void StartWriteback(int64_t offset, int64_t n) override {
    ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(n),
                      SYNC_FILE_RANGE_WRITE);
  }

  Status Sync() override { return ::fsync(fd_) == 0 ? Status() : Failed(); }

  bool IsNamedBy(const std::string& path) override {
    struct stat held;
    struct stat named;
    return ::fstat(fd_, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           S_ISREG(named.st_mode) && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
  }

  Status Close() override {
    if (fd_ < 0) return Status();
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? Status() : Failed();
  }

 private:
  // The status of the call that just failed, by errno.
  Status Failed() const { return OsError(errno, path_); }

  int fd_;
  std::string path_;
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

// Whether the open file `fd` is one this system may use as its own.
bool IsOwnFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    return false;
  }
  return st.st_uid == ::geteuid() || st.st_uid == 0;
}

// The directory holding `path` ("." for a bare name).
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Flushes a directory, so that the entries made or renamed in it survive a
// power cut.
bool SyncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Flushes the data of the regular file at `path` without following a link.
Status SyncFile(const std::string& path) {
  int fd = ::open(path.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OsError(errno == ELOOP ? EACCES : errno, path);
  Status synced;
  if (!IsOwnFile(fd)) {
    synced = OsError(EACCES, path);
  } else if (::fsync(fd) != 0) {
    synced = OsError(errno, path);
  }
  ::close(fd);
  return synced;
}

class LinuxFileSystem final : public FileSystem {
 public:
  Status MakeDirectory(const std::string& path) override {
    // mkdir's mode only loses bits to the umask; 0700 never gains any.
    if (::mkdir(path.c_str(), 0700) == 0) return Status();
    const int code = errno;
    struct stat st;
    if (code == EEXIST && ::stat(path.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      return Status();
    }
    return OsError(code, path);
  }

  DirectoryTrust TrustOf(const std::string& path) override {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
      return DirectoryTrust::kMissing;
    }
    // From the directory up to the root: whoever may change any of them
    // may swap what lies below.
    std::string dir = resolved;
    for (;;) {
      struct stat st;
      if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return DirectoryTrust::kMissing;
      }
      if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        return DirectoryTrust::kOtherOwner;
      }
      if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
          (st.st_mode & S_ISVTX) == 0) {
        return DirectoryTrust::kOthersWrite;
      }
      if (dir == "/") return DirectoryTrust::kPrivate;
      dir = DirectoryOf(dir);
    }
  }

  Status Open(const std::string& path, OpenMode mode,
              std::unique_ptr<File>* file) override {
    file->reset();
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kCreateTruncate:
        flags |= O_WRONLY | O_CREAT;
        break;
      case OpenMode::kCreateExclusive:
        flags |= O_WRONLY | O_CREAT | O_EXCL;
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
    // The open's mode only loses bits to the umask; 0600 never gains any.
    int fd = ::open(path.c_str(), flags, 0600);
    // A link planted at the name reads as a refused access, not as a loop.
    if (fd < 0) return OsError(errno == ELOOP ? EACCES : errno, path);
    Status refused;
    if (!IsOwnFile(fd)) {
      refused = OsError(EACCES, path);
    } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
               (mode == OpenMode::kCreateTruncate && ::ftruncate(fd, 0) != 0)) {
      refused = OsError(errno, path);
    } else if (mode == OpenMode::kReadWriteExclusive &&
               ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // Another process holds the lock: the file is in use, as a sharing
      // violation says on Windows.
      refused = Status::Error(ErrorKind::kInUse, path, errno, OsErrorText(errno));
    }
    if (!refused.ok()) {
      ::close(fd);
      return refused;
    }
    *file = std::make_unique<LinuxFile>(fd, path);
    return Status();
  }

  Status RemoveFile(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? Status() : OsError(errno, path);
  }

  // Flushing here, not in each caller, makes every rename that makes a
  // file count (the plan, the package, the freshness state) durable at
  // once; a caller cannot forget it.
  Status RenameOver(const std::string& from, const std::string& to) override {
    Status synced = SyncFile(from);
    if (!synced.ok()) return synced;
    if (::rename(from.c_str(), to.c_str()) != 0) {
      // Which name stood in the way: a missing source names `from`; a
      // target that could not be replaced names `to`.
      const int code = errno;
      return OsError(code, code == ENOENT ? from : to);
    }
    // The rename happened; a directory that cannot be flushed does not
    // undo it, so it is not reported as a failure (`to` is the new file).
    SyncDirectory(DirectoryOf(to));
    if (DirectoryOf(from) != DirectoryOf(to)) SyncDirectory(DirectoryOf(from));
    return Status();
  }

  int64_t FileLength(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  FileKind KindOf(const std::string& path) override {
    return linux_os::KindOf(path);
  }

  int64_t FreeSpace(const std::string& path) override {
    struct statvfs st;
    if (::statvfs(DirectoryOf(path).c_str(), &st) != 0) return -1;
    // The blocks an unprivileged user may take, not those kept for root.
    const uint64_t block = st.f_frsize != 0 ? st.f_frsize : 1;
    if (st.f_bavail > static_cast<uint64_t>(INT64_MAX) / block) {
      return INT64_MAX;
    }
    return static_cast<int64_t>(st.f_bavail * block);
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static LinuxFileSystem files;
  return &files;
}

}  // namespace vorn::platform::linux_os
