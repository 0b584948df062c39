// A package that proves it was started: writes its own full path and its
// command line to <its own path>.launched and ends.
//
//   marker_app.exe [ANY ARGUMENTS]
//
// Exit status: 0 when the marker was written, 2 otherwise.
#include <windows.h>

#include <string>

namespace {

// `text` in the ANSI code page.
std::string Narrow(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0,
                              nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  // Any length: a package in a download directory deeper than MAX_PATH
  // starts too, and its marker goes beside it through the "\\?\" form.
  static wchar_t path[32768];
  DWORD n = GetModuleFileNameW(nullptr, path, 32768);
  if (n == 0 || n >= 32768) return 2;
  std::wstring self(path, n);
  std::string text = "launched " + Narrow(self) + "\ncommand line " +
                     GetCommandLineA() + "\n";
  // Written under another name and renamed, so that a watcher never reads
  // half a marker.
  std::wstring marker = self + L".launched";
  if (marker.size() > 2 && marker[1] == L':') marker = L"\\\\?\\" + marker;
  std::wstring partial = marker + L".partial";
  HANDLE f = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 2;
  DWORD put = 0;
  bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &put,
                      nullptr) &&
            put == text.size();
  ok = CloseHandle(f) && ok;
  if (!ok || !MoveFileExW(partial.c_str(), marker.c_str(),
                          MOVEFILE_REPLACE_EXISTING)) {
    return 2;
  }
  return 0;
}
