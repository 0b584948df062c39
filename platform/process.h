// Process: the single-instance guard, the raw command line and the
// application's name.
#ifndef VORN_PLATFORM_PROCESS_H_
#define VORN_PLATFORM_PROCESS_H_

#include <string>

namespace vorn::platform {

class Process {
 public:
  virtual ~Process() = default;
  // Creates the system-wide object `name` (requesting and then releasing
  // ownership); the object lives until the process ends. Returns true when
  // another process already holds that name. A guard that cannot be created
  // at all answers false, so the run goes on without it.
  virtual bool GuardAlreadyExists(const std::string& name) = 0;
  // The raw command line as one byte string, the program's path first.
  virtual std::string CommandLine() = 0;
  // The executable's file name without its extension.
  virtual std::string ApplicationName() = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_PROCESS_H_
