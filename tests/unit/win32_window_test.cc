// Windows-only behaviour of the backend that the portable tests cannot
// see: the real window search and command against the test host program,
// the sharing rules of the exclusive open for other kinds of open, and the
// named guard.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/env.h"
#include "tests/unit/fake_env.h"

namespace vorn::platform {
namespace {

using vorn::testing::Exists;
using vorn::testing::ReadAll;
using vorn::testing::TempDir;

constexpr uint32_t kHostCommand = 32823;

// test_host.exe is built next to this test program.
std::string HostProgram() {
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(/*hModule=*/nullptr, buf, sizeof(buf));
  std::string path(buf, n);
  return path.substr(0, path.find_last_of("\\/") + 1) + "test_host.exe";
}

// A running test host; killed when still alive at the end.
class HostProcess {
 public:
  bool Start(const std::string& title, const std::string& record) {
    std::string line =
        "\"" + HostProgram() + "\" \"" + title + "\" \"" + record + "\" 30";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessA(/*lpApplicationName=*/nullptr, &line[0],
                          /*lpProcessAttributes=*/nullptr,
                          /*lpThreadAttributes=*/nullptr,
                          /*bInheritHandles=*/FALSE, /*dwCreationFlags=*/0,
                          /*lpEnvironment=*/nullptr,
                          /*lpCurrentDirectory=*/nullptr, &startup,
                          &info_) != FALSE;
  }
  // The exit status, or -1 when it has not ended within `ms`.
  long WaitExit(DWORD ms) {
    if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<long>(code);
  }
  ~HostProcess() {
    if (info_.hProcess == nullptr) return;
    if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) {
      TerminateProcess(info_.hProcess, 99);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }

 private:
  PROCESS_INFORMATION info_ = {};
};

bool WaitForFile(const std::string& path, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (Exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The top-level dialog with a direct Button child captioned `title`.
WindowHandle FindHostDialog(WindowSystem* windows, const std::string& title) {
  WindowHandle dialog = nullptr;
  while ((dialog = windows->FindWindowAfter(nullptr, dialog, "#32770",
                                            nullptr)) != nullptr) {
    if (windows->FindWindowAfter(dialog, nullptr, "Button", title.c_str()) !=
        nullptr) {
      return dialog;
    }
  }
  return nullptr;
}

TEST(Win32Windows, FindsTheHostAndSendsItTheCommand) {
  if (!Exists(HostProgram())) GTEST_SKIP() << "no " << HostProgram();
  WindowSystem* windows = Env::Default().windows;
  const char* titles[] = {"vorn host window", "\xb0\xe6\xb1\xbe host 2"};
  for (const char* title : titles) {
    SCOPED_TRACE(title);
    TempDir dir;
    std::string record = dir.File("record.txt");
    HostProcess host;
    ASSERT_TRUE(host.Start(title, record));
    ASSERT_TRUE(WaitForFile(record + ".ready", 20000))
        << "host never got ready";

    EXPECT_EQ(FindHostDialog(windows, std::string(title) + " (not this)"),
              nullptr);
    WindowHandle dialog = FindHostDialog(windows, title);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(windows->IsLiveWindow(dialog));

    windows->SendCommand(dialog, kHostCommand);  // returns once handled
    EXPECT_EQ(ReadAll(record), "command 32823\n");
    EXPECT_EQ(host.WaitExit(10000), 0);
    EXPECT_FALSE(windows->IsLiveWindow(dialog));
    EXPECT_EQ(FindHostDialog(windows, title), nullptr);
  }
}

TEST(Win32Files, ExclusiveHolderShutsOutEveryOtherOpen) {
  TempDir dir;
  std::string path = dir.File("update.log");
  FileSystem* fs = Env::Default().files;
  std::unique_ptr<File> holder;
  ASSERT_TRUE(fs->Open(path, OpenMode::kReadWriteExclusive, &holder).ok());
  const OpenMode others[] = {OpenMode::kRead, OpenMode::kWriteCreateKeep,
                             OpenMode::kCreateTruncate,
                             OpenMode::kReadWriteExclusive};
  for (OpenMode mode : others) {
    std::unique_ptr<File> other;
    Status refused = fs->Open(path, mode, &other);
    EXPECT_EQ(other, nullptr) << static_cast<int>(mode);
    EXPECT_EQ(refused.kind(), ErrorKind::kInUse) << static_cast<int>(mode);
  }
  EXPECT_TRUE(holder->Close().ok());
  std::unique_ptr<File> reader;
  EXPECT_TRUE(fs->Open(path, OpenMode::kRead, &reader).ok());
}

TEST(Win32Process, GuardNameStaysTakenForTheProcess) {
  Process* process = Env::Default().process;
  std::string name =
      "vorn-win32-guard-" + std::to_string(GetCurrentProcessId());
  EXPECT_FALSE(process->GuardAlreadyExists(name));
  // The first mutex is still open, so the name exists from now on.
  EXPECT_TRUE(process->GuardAlreadyExists(name));
  EXPECT_TRUE(process->GuardAlreadyExists(name));
  HANDLE probe =
      OpenMutexA(SYNCHRONIZE, /*bInheritHandle=*/FALSE, name.c_str());
  ASSERT_NE(probe, nullptr);
  // Ownership was given back: anyone can take the mutex now.
  EXPECT_EQ(WaitForSingleObject(probe, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ReleaseMutex(probe);
  CloseHandle(probe);
}

}  // namespace
}  // namespace vorn::platform

#endif  // _WIN32
