// Process: the single-instance guard, the raw command line and the
// application's name.
#ifndef VORN_PLATFORM_PROCESS_H_
#define VORN_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace vorn::platform {

class Process {
 public:
  virtual ~Process() = default;
  // Takes the single-instance guard `name`; once taken it stays taken
  // until this process ends. Returns true when it was taken already, by
  // another process or by an earlier call of this one. A guard that cannot
  // be created at all answers false, so the run goes on without it. Its
  // reach is the system's: a named mutex of the session on Windows (owned
  // and given back at once: only the name counts), a lock in the user's
  // own runtime directory on Linux, so one user never stops another's.
  virtual bool GuardAlreadyExists(const std::string& name) = 0;
  // The raw command line as one byte string, the program's path first.
  virtual std::string CommandLine() = 0;
  // The executable's file name without its extension.
  virtual std::string ApplicationName() = 0;
  // The full path of the running executable; empty when unknown.
  virtual std::string ExecutablePath() = 0;
  // Reads the file beside the running executable named like it with
  // `extension` for its extension (SiblingWithExtension), at most `limit`
  // bytes, into `out`. kMissing when nothing has that name; kRegular when
  // it is a regular file, read whole; kOther for anything else (a
  // directory, a FIFO, a link to nothing, a file that cannot be read or is
  // longer than `limit`, an executable path that is not known), with
  // `out` empty. On Windows the path is the system's UTF-16 one, so a name
  // outside the ANSI code page is found too.
  virtual FileKind ReadBesideExecutable(const std::string& extension,
                                        int64_t limit, std::string* out) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_PROCESS_H_
