#include "platform/files.h"

namespace vorn::platform {

Status ReadFileBytes(FileSystem* fs, const std::string& path, int64_t limit,
                     std::string* out) {
  out->clear();
  std::unique_ptr<File> file;
  Status status = fs->Open(path, OpenMode::kRead, &file);
  if (!status.ok()) return status;
  char buf[4096];
  while (static_cast<int64_t>(out->size()) < limit) {
    int64_t want = limit - static_cast<int64_t>(out->size());
    if (want > static_cast<int64_t>(sizeof(buf))) want = sizeof(buf);
    int64_t got = 0;
    status = file->Read(buf, want, &got);
    if (!status.ok()) return status;
    if (got == 0) break;
    out->append(buf, static_cast<size_t>(got));
  }
  return file->Close();
}

std::string SiblingWithExtension(const std::string& path,
                                 const std::string& extension) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  std::string base = path;
  if (dot != std::string::npos &&
      (slash == std::string::npos || dot > slash + 1)) {
    base.resize(dot);
  }
  return base + extension;
}

Status WriteFileBytes(FileSystem* fs, const std::string& path,
                      const std::string& data) {
  // A name that cannot be removed (another user's, in a sticky
  // directory) makes the exclusive creation fail below.
  (void)fs->RemoveFile(path);
  std::unique_ptr<File> file;
  Status status = fs->Open(path, OpenMode::kCreateExclusive, &file);
  if (!status.ok()) return status;
  status = file->Write(data.data(), static_cast<int64_t>(data.size()));
  Status closed = file->Close();
  return status.ok() ? closed : status;
}

}  // namespace vorn::platform
