// Files: the plain-file calls of the update log and the byte-stream files
// of the downloader (segment files, info file, package file).
#ifndef VORN_PLATFORM_FILES_H_
#define VORN_PLATFORM_FILES_H_

#include <cstdint>
#include <memory>
#include <string>

namespace vorn::platform {

// The directory separator that every file name of the system is built with.
extern const char kPathSeparator[];

enum class OpenMode {
  kRead,                // existing file, read only
  kCreateTruncate,      // created when missing, emptied when present
  kWriteCreateKeep,     // created when missing, content kept
  kReadWriteExclusive,  // created when missing, no sharing with anyone:
                        // fails while another opener holds the file
  kWriteShared,         // created when missing, content kept; other openers
                        // may read and write it too (one file that several
                        // workers fill), but nobody may delete or replace
                        // it while it is open
};

// An open file. Not thread-safe; each worker owns its own. The destructor
// closes the file if Close() was not called.
class File {
 public:
  virtual ~File() = default;
  // Moves the position to the end. False on failure.
  virtual bool SeekToEnd() = 0;
  // Current length in bytes, or -1 on failure.
  virtual int64_t Length() = 0;
  // Reads up to `n` bytes; returns the count (0 at the end) or -1.
  virtual int64_t Read(char* buf, int64_t n) = 0;
  // Writes all `n` bytes; false when any of them could not be written
  // (a full disk included).
  virtual bool Write(const char* buf, int64_t n) = 0;
  // Writes all `n` bytes at byte `offset`, whatever the position; false
  // when any of them could not be written.
  virtual bool WriteAt(int64_t offset, const char* buf, int64_t n) = 0;
  // Makes the file `length` bytes long: cut, or grown without writing (a
  // sparse file where the system allows). False on failure.
  virtual bool SetLength(int64_t length) = 0;
  // Reads up to `n` bytes from byte `offset`, whatever the position;
  // returns the count (0 at or past the end) or -1.
  virtual int64_t ReadAt(int64_t offset, char* buf, int64_t n) = 0;
  // Flushes and closes; false when the data may not have reached the file.
  // Closing a closed file does nothing and answers true.
  virtual bool Close() = 0;
};

// What a name stands for.
enum class FileKind {
  kMissing,  // nothing by that name, not even a link to nothing
  kRegular,  // a regular file (links followed)
  kOther,    // anything else: a directory, a FIFO or device, a link to
             // nothing, a name that cannot be examined or read
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Creates the last component of `path` only. False when it could not be
  // created (an existing directory also answers false).
  virtual bool MakeDirectory(const std::string& path) = 0;
  // Opens `path` in `mode`; null when the file cannot be opened.
  virtual std::unique_ptr<File> Open(const std::string& path,
                                     OpenMode mode) = 0;
  // Deletes a file by name. False when it could not be deleted.
  virtual bool RemoveFile(const std::string& path) = 0;
  // Renames `from` to `to`, replacing `to` when it exists, in one step
  // where the system allows it. False on failure; then `to` is unchanged.
  virtual bool RenameOver(const std::string& from, const std::string& to) = 0;
  // Length of the file at `path`, or -1 when it does not exist or is not
  // a file (a directory).
  virtual int64_t FileLength(const std::string& path) = 0;
  // What `path` names, links followed; see FileKind.
  virtual FileKind KindOf(const std::string& path) = 0;
};

// Reads a whole file into `out`, at most `limit` bytes. False when it
// cannot be opened or read.
bool ReadFileBytes(FileSystem* fs, const std::string& path, int64_t limit,
                   std::string* out);

// The name of the file beside `path` named like it with `extension` (".pub")
// for its extension: "dir/prog.exe" gives "dir/prog.pub", "dir/prog" gives
// "dir/prog.pub". Either separator counts; a leading dot is no extension.
std::string SiblingWithExtension(const std::string& path,
                                 const std::string& extension);

// Creates or truncates `path` and writes `data`, checking every write and
// the close.
bool WriteFileBytes(FileSystem* fs, const std::string& path,
                    const std::string& data);

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_FILES_H_
