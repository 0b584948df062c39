// The single-instance guard (a named mutex), the command line and the
// program's own name.
#include "platform/process.h"

#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/win32_common.h"

namespace vorn::platform::win32 {
namespace {

class Win32Process final : public Process {
 public:
  bool GuardAlreadyExists(const std::string& name) override {
    HANDLE mutex = CreateMutexA(/*lpMutexAttributes=*/nullptr,
                                /*bInitialOwner=*/TRUE, name.c_str());
    DWORD error = GetLastError();
    if (mutex != nullptr) {
      // Only the name matters: ownership is given back at once. A mutex
      // that was not ours to release (it existed before) fails here, which
      // changes nothing.
      ReleaseMutex(mutex);
      // Never closed: the name must stay taken until the process ends.
      std::lock_guard<std::mutex> lock(mu_);
      guards_.push_back(mutex);
    }
    return MapOsError(error) == OsError::kAlreadyExists;
  }

  std::string CommandLine() override {
    const char* line = GetCommandLineA();
    return line != nullptr ? std::string(line) : std::string();
  }

  std::string ApplicationName() override {
    std::string path = ModulePath();
    size_t slash = path.find_last_of("\\/");
    std::string base =
        slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.resize(dot);
    return base;
  }

  std::string ExecutablePath() override { return ModulePath(); }

 private:
  // The full path of the running executable, however long.
  static std::string ModulePath() {
    std::vector<char> buf(MAX_PATH);
    for (;;) {
      DWORD size = static_cast<DWORD>(buf.size());
      DWORD n = GetModuleFileNameA(/*hModule=*/nullptr, buf.data(), size);
      if (n == 0) return std::string();
      // A full buffer means the name may have been cut short.
      if (n < size) return std::string(buf.data(), n);
      if (buf.size() >= 32768) return std::string(buf.data(), n);
      buf.resize(buf.size() * 2);
    }
  }

  std::mutex mu_;
  std::vector<HANDLE> guards_;
};

}  // namespace

Process* DefaultProcess() {
  static Win32Process process;
  return &process;
}

}  // namespace vorn::platform::win32
