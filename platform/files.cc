#include "platform/files.h"

namespace vorn::platform {

bool ReadFileBytes(FileSystem* fs, const std::string& path, int64_t limit,
                   std::string* out) {
  out->clear();
  std::unique_ptr<File> file = fs->Open(path, OpenMode::kRead);
  if (!file) return false;
  char buf[4096];
  while (static_cast<int64_t>(out->size()) < limit) {
    int64_t want = limit - static_cast<int64_t>(out->size());
    if (want > static_cast<int64_t>(sizeof(buf))) want = sizeof(buf);
    int64_t got = file->Read(buf, want);
    if (got < 0) return false;
    if (got == 0) break;
    out->append(buf, static_cast<size_t>(got));
  }
  file->Close();
  return true;
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

bool WriteFileBytes(FileSystem* fs, const std::string& path,
                    const std::string& data) {
  // A name that cannot be removed (another user's, in a sticky
  // directory) makes the exclusive creation fail below.
  fs->RemoveFile(path);
  std::unique_ptr<File> file = fs->Open(path, OpenMode::kCreateExclusive);
  if (!file) return false;
  bool ok = file->Write(data.data(), static_cast<int64_t>(data.size()));
  return file->Close() && ok;
}

}  // namespace vorn::platform
