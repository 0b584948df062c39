// Process: the single-instance guard, the raw command line and the
// application's name.
#ifndef VORN_PLATFORM_PROCESS_H_
#define VORN_PLATFORM_PROCESS_H_

#include <string>

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
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_PROCESS_H_
