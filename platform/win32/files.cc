// Files through the kernel's own calls (CreateFileA and friends), so that
// the sharing rules of the update log are the system's.
//
// Every open takes the name itself, not what a reparse point there leads
// to (FILE_FLAG_OPEN_REPARSE_POINT), and refuses the handle unless it is a
// plain disk file with one link and no reparse point; emptying comes after
// that check, never in the open itself.
#include "platform/files.h"

#include <climits>
#include <memory>
#include <string>

#include "platform/win32/win32_common.h"

#include <winioctl.h>

namespace vorn::platform {
const char kPathSeparator[] = "\\";
}  // namespace vorn::platform

namespace vorn::platform::win32 {
namespace {

// The access, sharing and disposition of each open mode.
struct OpenFlags {
  DWORD access;
  DWORD share;
  DWORD disposition;
};

OpenFlags FlagsFor(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead:
      return {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING};
    case OpenMode::kCreateTruncate:
      return {GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS};
    case OpenMode::kCreateExclusive:
      return {GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW};
    case OpenMode::kWriteCreateKeep:
      return {GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS};
    case OpenMode::kWriteShared:
      // No FILE_SHARE_DELETE: while a worker writes, nobody renames the
      // file away or deletes it.
      return {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS};
    case OpenMode::kReadWriteExclusive:
      // Share mode 0: while this handle is open every other open of the
      // file fails at once with a sharing violation.
      return {GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS};
  }
  return {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING};
}

// Whether `handle` is a file this system may use as its own: a disk file,
// no directory, no reparse point, one link.
bool IsOwnFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, info) &&
         (info->dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info->nNumberOfLinks == 1;
}

// Opens the name itself (a reparse point is not followed) for `access`.
HANDLE OpenName(const std::string& path, DWORD access, DWORD share,
                DWORD disposition) {
  return CreateFileA(path.c_str(), access, share,
                     /*lpSecurityAttributes=*/nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     /*hTemplateFile=*/nullptr);
}

// ReadFile and WriteFile take 32-bit counts; larger requests go in pieces.
constexpr int64_t kMaxChunk = 1 << 30;

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}

  bool SeekToEnd() override {
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD low =
        SetFilePointer(handle_.get(), /*lDistanceToMove=*/0, &high, FILE_END);
    // A low part of all ones is also a valid position past 4 GiB; only the
    // error code tells them apart.
    return !(low == INVALID_SET_FILE_POINTER &&
             MapOsError(GetLastError()) != OsError::kNone);
  }

  int64_t Length() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_.get(), &size)) return -1;
    return size.QuadPart;
  }

  int64_t Read(char* buf, int64_t n) override {
    if (n < 0) return -1;
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
    if (!ReadFile(handle_.get(), buf, want, &got, /*lpOverlapped=*/nullptr)) {
      return -1;
    }
    return got;
  }

  int64_t ReadAt(int64_t offset, char* buf, int64_t n) override {
    if (n < 0 || offset < 0) return -1;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
    if (!ReadFile(handle_.get(), buf, want, &got, &at)) {
      // Reading at or past the end answers so instead of with zero bytes.
      return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return got;
  }

  bool Write(const char* buf, int64_t n) override {
    if (n < 0) return false;
    while (n > 0) {
      DWORD put = 0;
      DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
      if (!WriteFile(handle_.get(), buf, want, &put,
                     /*lpOverlapped=*/nullptr)) {
        return false;
      }
      // A write that moves nothing would loop for ever (a full disk can
      // answer like that).
      if (put == 0) return false;
      buf += put;
      n -= put;
    }
    return true;
  }

  bool WriteAt(int64_t offset, const char* buf, int64_t n) override {
    if (n < 0 || offset < 0) return false;
    while (n > 0) {
      // An offset in the OVERLAPPED block makes the write positional on a
      // handle opened for synchronous use.
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD put = 0;
      DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
      if (!WriteFile(handle_.get(), buf, want, &put, &at) || put == 0) {
        return false;
      }
      buf += put;
      n -= put;
      offset += put;
    }
    return true;
  }

  bool SetLength(int64_t length) override {
    // Growing a file NTFS would fill with zeros up to the first write past
    // its old end (several workers write far into a part file from the
    // start): a sparse file is grown without writing. Where the file
    // system has no sparse files (FAT) the zeros are its way.
    int64_t now = Length();
    if (now >= 0 && length > now) {
      DWORD returned = 0;
      DeviceIoControl(handle_.get(), FSCTL_SET_SPARSE, /*lpInBuffer=*/nullptr,
                      0, /*lpOutBuffer=*/nullptr, 0, &returned,
                      /*lpOverlapped=*/nullptr);
    }
    LARGE_INTEGER to;
    to.QuadPart = length;
    return SetFilePointerEx(handle_.get(), to, /*lpNewFilePointer=*/nullptr,
                            FILE_BEGIN) &&
           SetEndOfFile(handle_.get());
  }

  bool Sync() override { return FlushFileBuffers(handle_.get()) != FALSE; }

  // Windows writes back on its own schedule; the flush before the rename
  // waits for what is left.
  void StartWriteback(int64_t, int64_t) override {}

  int64_t DataEnd(int64_t offset, int64_t limit) override {
    if (limit <= offset) return limit;
    FILE_ALLOCATED_RANGE_BUFFER query;
    query.FileOffset.QuadPart = offset;
    query.Length.QuadPart = limit - offset;
    FILE_ALLOCATED_RANGE_BUFFER first;
    DWORD got = 0;
    if (!DeviceIoControl(handle_.get(), FSCTL_QUERY_ALLOCATED_RANGES, &query,
                         sizeof(query), &first, sizeof(first), &got,
                         /*lpOverlapped=*/nullptr) &&
        GetLastError() != ERROR_MORE_DATA) {
      return limit;  // the file system cannot tell
    }
    if (got < sizeof(first) || first.FileOffset.QuadPart > offset) {
      return offset;  // a hole right at the offset
    }
    int64_t end = first.FileOffset.QuadPart + first.Length.QuadPart;
    return end < limit ? end : limit;
  }

  bool IsNamedBy(const std::string& path) override {
    BY_HANDLE_FILE_INFORMATION held;
    BY_HANDLE_FILE_INFORMATION named;
    UniqueHandle other(OpenName(
        path, /*access=*/0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING));
    return other.valid() &&
           GetFileInformationByHandle(handle_.get(), &held) &&
           IsOwnFile(other.get(), &named) &&
           held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           held.nFileIndexHigh == named.nFileIndexHigh &&
           held.nFileIndexLow == named.nFileIndexLow;
  }

  // Closing a closed file does nothing (UniqueHandle::Reset answers true).
  bool Close() override { return handle_.Reset(); }

 private:
  UniqueHandle handle_;
};

class Win32FileSystem final : public FileSystem {
 public:
  bool MakeDirectory(const std::string& path) override {
    return CreateDirectoryA(path.c_str(), /*lpSecurityAttributes=*/nullptr) !=
           FALSE;
  }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    OpenFlags flags = FlagsFor(mode);
    HANDLE handle =
        OpenName(path, flags.access, flags.share, flags.disposition);
    // A sharing violation (the log held by another instance) is not
    // retried: the caller decides what a busy file means.
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto file = std::make_unique<Win32File>(handle);
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsOwnFile(handle, &info) ||
        (mode == OpenMode::kCreateTruncate && !file->SetLength(0))) {
      return nullptr;
    }
    return file;
  }

  DirectoryTrust TrustOf(const std::string&) override {
    return DirectoryTrust::kPrivate;
  }

  bool RemoveFile(const std::string& path) override {
    return DeleteFileA(path.c_str()) != FALSE;
  }

  // Flushing here, not in each caller, makes every rename that makes a
  // file count (the record, the package, the freshness state) durable at
  // once. The flush goes through a handle of its own: the system's cache
  // of a file is one, whichever handle wrote it.
  bool RenameOver(const std::string& from, const std::string& to) override {
    UniqueHandle source(
        OpenName(from, GENERIC_WRITE,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                 OPEN_EXISTING));
    BY_HANDLE_FILE_INFORMATION info;
    if (!source.valid() || !IsOwnFile(source.get(), &info) ||
        !FlushFileBuffers(source.get()) || !source.Reset()) {
      return false;
    }
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
           FALSE;
  }

  int64_t FileLength(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) |
           static_cast<int64_t>(data.nFileSizeLow);
  }

  FileKind KindOf(const std::string& path) override {
    if (path.empty()) return FileKind::kMissing;
    std::wstring wide = Widen(path, CP_ACP);
    return wide.empty() ? FileKind::kOther : KindOfWide(wide);
  }
};

}  // namespace

FileKind KindOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileKind::kOther;
  }
  return FileKind::kRegular;
}

FileKind KindOfWide(const std::wstring& path) {
  // Opened for its attributes only, links followed; the backup flag lets
  // a directory open too, so that it can be told apart.
  UniqueHandle handle(
      CreateFileW(path.c_str(), /*dwDesiredAccess=*/0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr));
  if (handle.valid()) return KindOfHandle(handle.get());
  // Not found by the open, and no entry either (a link to nothing has
  // one): nothing is there.
  if (MapOsError(GetLastError()) == OsError::kNotFound &&
      GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
      MapOsError(GetLastError()) == OsError::kNotFound) {
    return FileKind::kMissing;
  }
  return FileKind::kOther;
}

FileSystem* DefaultFileSystem() {
  static Win32FileSystem files;
  return &files;
}

}  // namespace vorn::platform::win32
