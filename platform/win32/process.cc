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

  FileKind ReadBesideExecutable(const std::string& extension, int64_t limit,
                                std::string* out) override {
    out->clear();
    std::wstring path = WideModulePath();
    if (path.empty()) return FileKind::kOther;
    size_t slash = path.find_last_of(L"\\/");
    size_t dot = path.rfind(L'.');
    if (dot != std::wstring::npos &&
        (slash == std::wstring::npos || dot > slash + 1)) {
      path.resize(dot);
    }
    for (char c : extension) path.push_back(static_cast<unsigned char>(c));
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  /*lpSecurityAttributes=*/nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  /*hTemplateFile=*/nullptr));
    if (!file.valid()) {
      return KindOfWide(path) == FileKind::kMissing ? FileKind::kMissing
                                                    : FileKind::kOther;
    }
    if (KindOfHandle(file.get()) != FileKind::kRegular) return FileKind::kOther;
    char buf[4096];
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(file.get(), buf, sizeof(buf), &got,
                    /*lpOverlapped=*/nullptr)) {
        out->clear();
        return FileKind::kOther;
      }
      if (got == 0) return FileKind::kRegular;
      out->append(buf, got);
      if (static_cast<int64_t>(out->size()) > limit) {
        out->clear();
        return FileKind::kOther;
      }
    }
  }

 private:
  // The executable's path as the system holds it, in UTF-16: the ANSI
  // form turns characters outside the code page into '?'.
  static std::wstring WideModulePath() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
      DWORD size = static_cast<DWORD>(buf.size());
      DWORD n = GetModuleFileNameW(/*hModule=*/nullptr, buf.data(), size);
      if (n == 0) return std::wstring();
      if (n < size) return std::wstring(buf.data(), n);
      // A full buffer means the name may have been cut short.
      if (buf.size() >= 32768) return std::wstring();
      buf.resize(buf.size() * 2);
    }
  }

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
