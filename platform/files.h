// Files: the plain-file calls of the update log and the byte-stream files
// of the downloader (the part file, the plan, the package file).
//
// Every file opened here is one of the system's own, in its download
// directory, so Open refuses whatever another user could have planted at
// its name: a link (symbolic, or a second hard link), a reparse point on
// Windows, anything but a regular file, and on Linux a file owned by
// another user (root aside). What it creates is the user's alone (0600,
// directories 0700, whatever the umask).
#ifndef VORN_PLATFORM_FILES_H_
#define VORN_PLATFORM_FILES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace vorn::platform {

// The directory separator that every file name of the system is built with.
extern const char kPathSeparator[];

enum class OpenMode {
  kRead,                // existing file, read only; on Windows nobody may
                        // write, rename or delete it while it is open
  kCreateTruncate,      // created when missing, emptied when present
  kCreateExclusive,     // created new; fails when anything (a file, a
                        // link, even one to nothing) has the name already
  kWriteCreateKeep,     // created when missing, content kept
  kReadWriteExclusive,  // created when missing, no sharing with anyone:
                        // fails while another opener holds the file
  kWriteShared,         // created when missing, content kept; other openers
                        // may read and write it too (one file that several
                        // workers fill), but nobody may delete or replace
                        // it while it is open
};

// An open file. Not thread-safe; each worker owns its own. The destructor
// closes the file if Close() was not called. Every call that can fail
// answers with a Status whose object is the file's path and whose kind
// says why (kDiskFull, kAccessDenied, kInUse...).
class File {
 public:
  virtual ~File() = default;
  // Moves the position to the end.
  virtual Status SeekToEnd() = 0;
  // Current length in bytes, or -1 on failure.
  virtual int64_t Length() = 0;
  // Reads up to `n` bytes into `buf`; `*got` is the count (0 at the end).
  virtual Status Read(char* buf, int64_t n, int64_t* got) = 0;
  // Writes all `n` bytes; a failure when any of them could not be written
  // (a full disk included).
  virtual Status Write(const char* buf, int64_t n) = 0;
  // Writes all `n` bytes at byte `offset`, whatever the position.
  virtual Status WriteAt(int64_t offset, const char* buf, int64_t n) = 0;
  // Makes the file `length` bytes long: cut, or grown without writing (a
  // sparse file where the system allows).
  virtual Status SetLength(int64_t length) = 0;
  // Reads up to `n` bytes from byte `offset`, whatever the position;
  // `*got` is the count (0 at or past the end).
  virtual Status ReadAt(int64_t offset, char* buf, int64_t n,
                        int64_t* got) = 0;
  // Where the data that begins at `offset` ends: the first byte at or
  // after it, below `limit`, that lies in a hole (a range the file system
  // holds no data for: never written, or lost to a power cut before it
  // reached the disk); `limit` where the system cannot tell. May move the
  // position.
  virtual int64_t DataEnd(int64_t offset, int64_t limit) = 0;
  // Starts writing bytes [offset, offset + n) to the disk without waiting
  // for them, so that a later Sync has little left to do. Only a hint:
  // nothing where the system has no such call.
  virtual void StartWriteback(int64_t offset, int64_t n) = 0;
  // Brings what was written to stable storage (fsync, FlushFileBuffers);
  // a failure when that failed or the file was opened for reading only.
  virtual Status Sync() = 0;
  // Whether `path` still names this very file (same device and file
  // number; a link at `path` is not this file). False on any doubt.
  virtual bool IsNamedBy(const std::string& path) = 0;
  // Flushes and closes; a failure when the data may not have reached the
  // file. Closing a closed file does nothing and succeeds.
  virtual Status Close() = 0;
};

// What a name stands for.
enum class FileKind {
  kMissing,  // nothing by that name, not even a link to nothing
  kRegular,  // a regular file (links followed)
  kOther,    // anything else: a directory, a FIFO or device, a link to
             // nothing, a name that cannot be examined or read
};

// What TrustOf finds.
enum class DirectoryTrust {
  kPrivate,       // only the user (and root) can change what is inside
  kOtherOwner,    // it or a directory above it belongs to another user
  kOthersWrite,   // another user may write to it or to one above it
                  // (and it is not sticky)
  kMissing,       // it cannot be examined (missing, not a directory)
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Creates the last component of `path` only, for the user alone (0700
  // on Linux). Succeeds when a directory stands at `path` afterwards,
  // made now or before; the status names `path` and the reason otherwise.
  virtual Status MakeDirectory(const std::string& path) = 0;
  // Whether the directory `path` and every directory above it are out of
  // other users' reach: each owned by the user or by root, and none
  // writable by another user unless sticky (as /tmp). Windows answers
  // kPrivate (the directory's access list is the system's business).
  virtual DirectoryTrust TrustOf(const std::string& path) = 0;
  // Opens `path` in `mode` into `*file` (null on failure).
  virtual Status Open(const std::string& path, OpenMode mode,
                      std::unique_ptr<File>* file) = 0;
  // Deletes a file by name. Deleting a name that stands for nothing
  // fails with kNotFound.
  virtual Status RemoveFile(const std::string& path) = 0;
  // Renames `from` to `to`, replacing `to` when it exists, in one step
  // where the system allows it, and durably: `from`'s data are flushed to
  // stable storage before the rename, and the rename itself (the
  // directory, on Linux) after it, so that after a power cut `to` is the
  // old file or the new one whole. On failure `to` is unchanged and the
  // status names the file that stood in the way (`to` when it is held or
  // refused, else `from`).
  virtual Status RenameOver(const std::string& from, const std::string& to) = 0;
  // Length of the file at `path`, or -1 when it does not exist or is not
  // a file (a directory).
  virtual int64_t FileLength(const std::string& path) = 0;
  // What `path` names, links followed; see FileKind.
  virtual FileKind KindOf(const std::string& path) = 0;
  // The bytes the user may still write on the volume that holds the file
  // `path` (which need not exist; its directory must), or -1 when the
  // system cannot tell.
  virtual int64_t FreeSpace(const std::string& path) = 0;
};

// Reads a whole file into `out`, at most `limit` bytes.
Status ReadFileBytes(FileSystem* fs, const std::string& path, int64_t limit,
                     std::string* out);

// The name of the file beside `path` named like it with `extension` (".pub")
// for its extension: "dir/prog.exe" gives "dir/prog.pub", "dir/prog" gives
// "dir/prog.pub". Either separator counts; a leading dot is no extension.
std::string SiblingWithExtension(const std::string& path,
                                 const std::string& extension);

// Writes `data` into a new file at `path` (a temporary name before a
// rename): whatever stood there is removed first and the file is created
// exclusively, so a file or link planted at the name is never written
// through. Every write and the close are checked.
Status WriteFileBytes(FileSystem* fs, const std::string& path,
                      const std::string& data);

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_FILES_H_
