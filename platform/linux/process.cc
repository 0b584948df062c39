// The single-instance guard and the command line on Linux. The guard is an
// exclusive flock on "<name>.lock" in the user's own runtime directory:
// $XDG_RUNTIME_DIR when it is a directory of ours that nobody else may
// write to, otherwise /tmp/<name>-<uid>, made with mode 0700. Each user has
// a guard of their own, so nobody can keep another user's runs from
// starting. The lock's descriptor stays open until the process ends and
// the kernel drops the lock with it: the guard lives exactly as long as the
// process, whatever way it ends; the file itself stays behind, unlocked.
// A directory that is not safe (a link, someone else's, writable by
// others: squatted) gives no guard, and the run goes on without it.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

// Opens `path` as a directory, not following a link at its last
// component; -1 unless it is a directory owned by this user that neither
// group nor others may write to. The descriptor pins the directory, so
// what was checked is what the lock file is made in.
int OpenSafeDirectory(const std::string& path) {
  int fd =
      ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The user's runtime directory for the guard `name`, opened; -1 when there
// is no safe one.
int OpenRuntimeDirectory(const std::string& name) {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] != '\0') {
    int fd = OpenSafeDirectory(xdg);
    if (fd >= 0) return fd;
  }
  std::string own = "/tmp/" + name + "-" + std::to_string(::geteuid());
  // An existing one is fine when it passes the check below.
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  return OpenSafeDirectory(own);
}

class LinuxProcess final : public Process {
 public:
  bool GuardAlreadyExists(const std::string& name) override {
    // The name becomes part of file names.
    if (name.empty() || name.find('/') != std::string::npos) return false;
    int dir = OpenRuntimeDirectory(name);
    if (dir < 0) return false;  // no guard: the run goes on without it
    int fd = ::openat(dir, (name + ".lock").c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    ::close(dir);
    if (fd < 0) return false;
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
      // Never closed: the lock lives until the process ends.
      std::lock_guard<std::mutex> lock(mu_);
      guards_.push_back(fd);
      return false;
    }
    int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK;
  }
  std::string CommandLine() override {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::ostringstream raw;
    raw << in.rdbuf();
    std::string args = raw.str();
    if (!args.empty() && args.back() == '\0') args.pop_back();
    for (char& c : args) {
      if (c == '\0') c = ' ';
    }
    return args;
  }

  std::string ApplicationName() override {
    std::string path = ExecutablePath();
    if (path.empty()) return "vornupdate";
    size_t slash = path.rfind('/');
    std::string name =
        slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
  }

  // A binary replaced while it runs (as a package manager does) shows as
  // "<path> (deleted)": the name it was started by is the path without
  // that, and the files shipped beside it are still found there.
  std::string ExecutablePath() override {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return std::string();
    std::string path(buf, static_cast<size_t>(n));
    static const std::string kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(),
                     kDeleted) == 0 &&
        KindOf(path) == FileKind::kMissing) {
      path.resize(path.size() - kDeleted.size());
    }
    return path;
  }

  FileKind ReadBesideExecutable(const std::string& extension, int64_t limit,
                                std::string* out) override {
    out->clear();
    std::string exe = ExecutablePath();
    if (exe.empty()) return FileKind::kOther;
    std::string path = SiblingWithExtension(exe, extension);
    // Non-blocking, so a FIFO planted there cannot hold the run at open.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      return errno == ENOENT ? KindOf(path) == FileKind::kMissing
                                   ? FileKind::kMissing
                                   : FileKind::kOther
                             : FileKind::kOther;
    }
    FileKind kind = FileKind::kRegular;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) kind = FileKind::kOther;
    char buf[4096];
    while (kind == FileKind::kRegular) {
      ssize_t got = ::read(fd, buf, sizeof(buf));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) kind = FileKind::kOther;
      if (got <= 0) break;
      out->append(buf, static_cast<size_t>(got));
      if (static_cast<int64_t>(out->size()) > limit) kind = FileKind::kOther;
    }
    ::close(fd);
    if (kind != FileKind::kRegular) out->clear();
    return kind;
  }

 private:
  std::mutex mu_;
  std::vector<int> guards_;  // the lock descriptors, open until the end
};

}  // namespace

Process* DefaultProcess() {
  static LinuxProcess process;
  return &process;
}

}  // namespace vorn::platform::linux_os
