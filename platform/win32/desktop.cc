// The message box and the shell's "open" verb.
#include "platform/desktop.h"

#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <shellapi.h>

namespace vorn::platform::win32 {
namespace {

class Win32Desktop final : public Desktop {
 public:
  void ShowMessageBox(const std::string& caption,
                      const std::string& text) override {
    // The texts are ANSI bytes already; the A call converts them with the
    // system's code page.
    MessageBoxA(/*hWnd=*/nullptr, text.c_str(), caption.c_str(), MB_OK);
  }

  void WriteStandardError(const std::string& text) override {
    OutputDebugStringA((text + "\n").c_str());
  }

  void WriteLostLogLine(const std::string& line) override {
    // %TEMP%\vornupdate\updatelog.txt: the user's own temporary directory,
    // which a full or lost download directory does not take with it.
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return;
    std::wstring dir = std::wstring(temp, length) + L"vornupdate";
    CreateDirectoryW(dir.c_str(), /*lpSecurityAttributes=*/nullptr);
    std::wstring path = dir + L"\\updatelog.txt";
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                              /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string bytes = line + "\r\n";
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              /*lpOverlapped=*/nullptr);
    CloseHandle(file);
  }

  void OpenWithShell(const std::string& path) override {
    // The outcome is not reported to anyone.
    std::wstring extended_short;
    const std::wstring name = ShellName(path, &extended_short);
    HINSTANCE shell = ShellExecuteW(
        /*hwnd=*/nullptr, L"open", name.c_str(), /*lpParameters=*/nullptr,
        /*lpDirectory=*/nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(shell) > 32 || extended_short.empty()) {
      return;
    }
    // The shell started nothing from a short name. Wine's process start
    // turns a short name back into its long form in a MAX_PATH buffer and,
    // past that, starts from whatever the buffer held: the shell then fails
    // (11 or 2) once other work, a WinINet download among it, has run in
    // the process. The "\\?\" form of the same short name is taken as it
    // is, there and on Windows, where lpApplicationName is not limited to
    // MAX_PATH. This starts a program only; a document that the shell could
    // not open stays unopened, as before.
    StartProgram(extended_short, name);
  }

 private:
  // The name the shell can start `path` by. The shell takes no "\\?\"
  // names and, for a program, none of MAX_PATH or more: a longer path goes
  // by its short (8.3) form when the volume keeps one, else as it is. When
  // the short form is the answer, `extended_short` gets it with its "\\?\"
  // prefix; otherwise it is left empty.
  static std::wstring ShellName(const std::string& path,
                                std::wstring* extended_short) {
    std::wstring name;
    if (!LongPath(path, &name)) return Widen(path, CP_ACP);
    std::wstring plain = Plain(name);
    if (plain.size() < MAX_PATH) return plain;
    DWORD need = GetShortPathNameW(name.c_str(), nullptr, 0);
    if (need == 0) return plain;
    std::wstring short_name(need, L'\0');
    DWORD got = GetShortPathNameW(name.c_str(), &short_name[0], need);
    if (got == 0 || got >= need) return plain;
    short_name.resize(got);
    std::wstring short_plain = Plain(short_name);
    if (short_plain.size() >= plain.size()) return plain;
    if (short_plain != short_name) *extended_short = short_name;
    return short_plain;
  }

  // Starts the program `application` ("\\?\" form) with the command line
  // `"name"`, in the normal show state, and lets it go.
  static void StartProgram(const std::wstring& application,
                           const std::wstring& name) {
    std::wstring command_line = L"\"" + name + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application.c_str(), &command_line[0],
                        /*lpProcessAttributes=*/nullptr,
                        /*lpThreadAttributes=*/nullptr,
                        /*bInheritHandles=*/FALSE, /*dwCreationFlags=*/0,
                        /*lpEnvironment=*/nullptr,
                        /*lpCurrentDirectory=*/nullptr, &startup, &process)) {
      return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }

  // `name` without its "\\?\" prefix: "\\?\C:\x" is "C:\x",
  // "\\?\UNC\srv\x" is "\\srv\x".
  static std::wstring Plain(const std::wstring& name) {
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + name.substr(8);
    if (name.rfind(L"\\\\?\\", 0) == 0) return name.substr(4);
    return name;
  }
};

}  // namespace

Desktop* DefaultDesktop() {
  static Win32Desktop desktop;
  return &desktop;
}

}  // namespace vorn::platform::win32
