// Files through the kernel's own calls (CreateFileW and friends), so that
// the sharing rules of the update log are the system's.
//
// The system's names are ANSI (GBK under code page 936); each call widens
// its name here, at the edge, and gives the W call the "\\?\" form of it,
// so that a download directory deeper than MAX_PATH works like any other.
// Every failure answers with the name the caller gave, the system's code
// and text, and the kind MapOsError gives the code.
//
// Every open takes the name itself, not what a reparse point there leads
// to (FILE_FLAG_OPEN_REPARSE_POINT), and refuses the handle unless it is a
// plain disk file with one link and no reparse point; emptying comes after
// that check, never in the open itself.
#include "platform/files.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>

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

// The status of a name that LongPath could not make into a W call's name.
Status TooLong(const std::string& path) {
  return OsStatus(ERROR_FILENAME_EXCED_RANGE, path);
}

// Opens the name itself (a reparse point is not followed) for `access`.
HANDLE OpenName(const std::wstring& name, DWORD access, DWORD share,
                DWORD disposition) {
  return CreateFileW(name.c_str(), access, share,
                     /*lpSecurityAttributes=*/nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     /*hTemplateFile=*/nullptr);
}

// Whether another opener holds `name` so that it cannot be deleted or
// replaced now (opened without FILE_SHARE_DELETE, or mapped). A rename
// onto such a file fails as a refused access on NTFS; this tells that
// apart from a refusal of the file's own (read-only, its access list).
bool HeldByAnother(const std::wstring& name) {
  UniqueHandle probe(OpenName(
      name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      OPEN_EXISTING));
  return !probe.valid() &&
         MapOsError(GetLastError()) == OsError::kSharingViolation;
}

// ReadFile and WriteFile take 32-bit counts; larger requests go in pieces.
constexpr int64_t kMaxChunk = 1 << 30;

class Win32File final : public File {
 public:
  Win32File(HANDLE handle, std::string path)
      : handle_(handle), path_(std::move(path)) {}

  Status SeekToEnd() override {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(handle_.get(), zero, /*lpNewFilePointer=*/nullptr,
                            FILE_END)
               ? Status()
               : Failed();
  }

  int64_t Length() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_.get(), &size)) return -1;
    return size.QuadPart;
  }

  Status Read(char* buf, int64_t n, int64_t* got) override {
    *got = 0;
    if (n < 0) return Refused(ERROR_INVALID_PARAMETER);
    DWORD read = 0;
    DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
    if (!ReadFile(handle_.get(), buf, want, &read, /*lpOverlapped=*/nullptr)) {
      return Failed();
    }
    *got = read;
    return Status();
  }

  Status ReadAt(int64_t offset, char* buf, int64_t n, int64_t* got) override {
    *got = 0;
    if (n < 0 || offset < 0) return Refused(ERROR_INVALID_PARAMETER);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
    if (!ReadFile(handle_.get(), buf, want, &read, &at)) {
      // Reading at or past the end answers so instead of with zero bytes.
      return GetLastError() == ERROR_HANDLE_EOF ? Status() : Failed();
    }
    *got = read;
    return Status();
  }

  Status Write(const char* buf, int64_t n) override {
    if (n < 0) return Refused(ERROR_INVALID_PARAMETER);
    while (n > 0) {
      DWORD put = 0;
      DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
      if (!WriteFile(handle_.get(), buf, want, &put,
                     /*lpOverlapped=*/nullptr)) {
        return Failed();
      }
      // A write that moves nothing would loop for ever; a full disk can
      // answer like that.
      if (put == 0) return Refused(ERROR_HANDLE_DISK_FULL);
      buf += put;
      n -= put;
    }
    return Status();
  }

  Status WriteAt(int64_t offset, const char* buf, int64_t n) override {
    if (n < 0 || offset < 0) return Refused(ERROR_INVALID_PARAMETER);
    while (n > 0) {
      // An offset in the OVERLAPPED block makes the write positional on a
      // handle opened for synchronous use.
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD put = 0;
      DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
      if (!WriteFile(handle_.get(), buf, want, &put, &at)) return Failed();
      if (put == 0) return Refused(ERROR_HANDLE_DISK_FULL);
      buf += put;
      n -= put;
      offset += put;
    }
    return Status();
  }

  Status SetLength(int64_t length) override {
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
    if (!SetFilePointerEx(handle_.get(), to, /*lpNewFilePointer=*/nullptr,
                          FILE_BEGIN) ||
        !SetEndOfFile(handle_.get())) {
      return Failed();
    }
    return Status();
  }

  Status Sync() override {
    return FlushFileBuffers(handle_.get()) ? Status() : Failed();
  }

  // Windows writes back on its own schedule; the flush before the rename
  // waits for what is left.
  void StartWriteback(int64_t, int64_t) override {}

  int64_t DataEnd(int64_t offset, int64_t limit) override {
    // The allocated ranges from `offset` on, as long as they join: a file
    // written at many offsets at once is allocated in many pieces.
    int64_t end = offset;
    while (end < limit) {
      FILE_ALLOCATED_RANGE_BUFFER query;
      query.FileOffset.QuadPart = end;
      query.Length.QuadPart = limit - end;
      FILE_ALLOCATED_RANGE_BUFFER found[64];
      DWORD got = 0;
      const bool more =
          !DeviceIoControl(handle_.get(), FSCTL_QUERY_ALLOCATED_RANGES, &query,
                           sizeof(query), found, sizeof(found), &got,
                           /*lpOverlapped=*/nullptr);
      if (more && GetLastError() != ERROR_MORE_DATA) {
        return end == offset ? limit : end;  // the file system cannot tell
      }
      const size_t count = got / sizeof(found[0]);
      const int64_t before = end;
      for (size_t k = 0; k < count; ++k) {
        if (found[k].FileOffset.QuadPart > end) return end < limit ? end : limit;
        end = std::max<int64_t>(
            end, found[k].FileOffset.QuadPart + found[k].Length.QuadPart);
      }
      // A hole right where the data ended, or nothing more to ask.
      if (end == before || !more) break;
    }
    return end < limit ? end : limit;
  }

  bool IsNamedBy(const std::string& path) override {
    std::wstring name;
    if (!LongPath(path, &name)) return false;
    BY_HANDLE_FILE_INFORMATION held;
    BY_HANDLE_FILE_INFORMATION named;
    UniqueHandle other(OpenName(
        name, /*access=*/0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING));
    return other.valid() &&
           GetFileInformationByHandle(handle_.get(), &held) &&
           IsOwnFile(other.get(), &named) &&
           held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           held.nFileIndexHigh == named.nFileIndexHigh &&
           held.nFileIndexLow == named.nFileIndexLow;
  }

  // Closing a closed file does nothing (UniqueHandle::Reset answers true).
  Status Close() override { return handle_.Reset() ? Status() : Failed(); }

 private:
  // The status of the call that just failed, by GetLastError.
  Status Failed() const { return OsStatus(GetLastError(), path_); }
  // A failure this code decided on, in the system's words for `code`.
  Status Refused(DWORD code) const { return OsStatus(code, path_); }

  UniqueHandle handle_;
  std::string path_;
};

class Win32FileSystem final : public FileSystem {
 public:
  Status MakeDirectory(const std::string& path) override {
    std::wstring name;
    if (!LongPath(path, &name)) return TooLong(path);
    if (CreateDirectoryW(name.c_str(), /*lpSecurityAttributes=*/nullptr)) {
      return Status();
    }
    const DWORD code = GetLastError();
    // One made before (by an earlier run, or by another at the same time)
    // serves as well.
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status();
    }
    return OsStatus(code, path);
  }

  Status Open(const std::string& path, OpenMode mode,
              std::unique_ptr<File>* file) override {
    file->reset();
    std::wstring name;
    if (!LongPath(path, &name)) return TooLong(path);
    OpenFlags flags = FlagsFor(mode);
    HANDLE handle =
        OpenName(name, flags.access, flags.share, flags.disposition);
    // A sharing violation (the log held by another instance) is not
    // retried: the caller decides what a busy file means.
    if (handle == INVALID_HANDLE_VALUE) return OsStatus(GetLastError(), path);
    auto opened = std::make_unique<Win32File>(handle, path);
    BY_HANDLE_FILE_INFORMATION info;
    // A link, a junction or a directory at one of the system's names is
    // refused as the system refuses a file it may not use.
    if (!IsOwnFile(handle, &info)) return OsStatus(ERROR_ACCESS_DENIED, path);
    if (mode == OpenMode::kCreateTruncate) {
      Status emptied = opened->SetLength(0);
      if (!emptied.ok()) return emptied;
    }
    *file = std::move(opened);
    return Status();
  }

  DirectoryTrust TrustOf(const std::string&) override {
    return DirectoryTrust::kPrivate;
  }

  Status RemoveFile(const std::string& path) override {
    std::wstring name;
    if (!LongPath(path, &name)) return TooLong(path);
    return DeleteFileW(name.c_str()) ? Status()
                                     : OsStatus(GetLastError(), path);
  }

  // Flushing here, not in each caller, makes every rename that makes a
  // file count (the plan, the package, the freshness state) durable at
  // once. The flush goes through a handle of its own: the system's cache
  // of a file is one, whichever handle wrote it.
  Status RenameOver(const std::string& from, const std::string& to) override {
    std::wstring source_name;
    std::wstring target_name;
    if (!LongPath(from, &source_name)) return TooLong(from);
    if (!LongPath(to, &target_name)) return TooLong(to);
    UniqueHandle source(
        OpenName(source_name, GENERIC_WRITE,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                 OPEN_EXISTING));
    if (!source.valid()) return OsStatus(GetLastError(), from);
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsOwnFile(source.get(), &info)) {
      return OsStatus(ERROR_ACCESS_DENIED, from);
    }
    if (!FlushFileBuffers(source.get()) || !source.Reset()) {
      return OsStatus(GetLastError(), from);
    }
    if (MoveFileExW(source_name.c_str(), target_name.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return Status();
    }
    DWORD code = GetLastError();
    // Which name stood in the way: a source gone since the flush names
    // `from`; anything else is about the target (held by a running
    // installer, read-only, a directory there, its directory missing).
    if (MapOsError(code) == OsError::kNotFound &&
        KindOfWide(source_name) == FileKind::kMissing) {
      return OsStatus(code, from);
    }
    if (MapOsError(code) == OsError::kAccessDenied &&
        HeldByAnother(target_name)) {
      code = ERROR_SHARING_VIOLATION;
    }
    return OsStatus(code, to);
  }

  int64_t FileLength(const std::string& path) override {
    std::wstring name;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!LongPath(path, &name) ||
        !GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) |
           static_cast<int64_t>(data.nFileSizeLow);
  }

  FileKind KindOf(const std::string& path) override {
    std::wstring name;
    if (!LongPath(path, &name)) {
      return path.empty() ? FileKind::kMissing : FileKind::kOther;
    }
    return KindOfWide(name);
  }

  int64_t FreeSpace(const std::string& path) override {
    std::wstring name;
    if (!LongPath(path, &name)) return -1;
    // The directory that holds the file, with the trailing backslash the
    // call wants.
    const size_t slash = name.find_last_of(L'\\');
    if (slash == std::wstring::npos) return -1;
    name.resize(slash + 1);
    // The bytes available to this user (quotas counted), not the volume's.
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(name.c_str(), &available,
                             /*lpTotalNumberOfBytes=*/nullptr,
                             /*lpTotalNumberOfFreeBytes=*/nullptr)) {
      return -1;
    }
    return available.QuadPart > static_cast<ULONGLONG>(INT64_MAX)
               ? INT64_MAX
               : static_cast<int64_t>(available.QuadPart);
  }
};

}  // namespace

bool LongPath(const std::string& path, std::wstring* out) {
  out->clear();
  std::wstring wide = Widen(path, CP_ACP);
  if (wide.empty() || wide.find(L'\0') != std::wstring::npos) return false;
  // A name in the extended or device form already is the caller's own.
  if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) {
    *out = std::move(wide);
    return true;
  }
  // The extended form takes neither '/' nor "." and ".." components: the
  // system's own resolution makes the name absolute (against the current
  // directory) and plain first, as the A calls would have.
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return false;
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), need, &full[0], nullptr);
  if (got == 0 || got >= need) return false;
  full.resize(got);
  if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
    *out = std::move(full);
  } else if (full.rfind(L"\\\\", 0) == 0) {
    *out = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    *out = L"\\\\?\\" + full;  // C:\...
  }
  // The longest name the system takes, in UTF-16 units.
  constexpr size_t kMaxName = 32767;
  if (out->size() >= kMaxName) {
    out->clear();
    return false;
  }
  return true;
}

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
