// A package that proves it was started: writes its own full path and its
// command line to <its own path>.launched and ends.
//
//   marker_app.exe [ANY ARGUMENTS]
//
// Exit status: 0 when the marker was written, 2 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 2;
  std::string self(path, n);
  std::string text =
      "launched " + self + "\ncommand line " + GetCommandLineA() + "\n";
  // Written under another name and renamed, so that a watcher never reads
  // half a marker.
  std::string marker = self + ".launched";
  std::string partial = marker + ".partial";
  FILE* f = std::fopen(partial.c_str(), "wb");
  if (f == nullptr) return 2;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok || !MoveFileExA(partial.c_str(), marker.c_str(),
                          MOVEFILE_REPLACE_EXISTING)) {
    return 2;
  }
  return 0;
}
