// Holds a file open as a running installer holds its package: for reading,
// shared for reading only, so that nobody may write, rename, replace or
// delete it meanwhile.
//
//   hold_file.exe FILE READY SECONDS
//
// Creates READY once FILE is open, then holds it until READY is deleted or
// SECONDS have passed. Exit status: 0 after holding, 2 when FILE could not
// be opened or READY not created.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

// The "\\?\" form of an absolute drive path, so that a file deeper than
// MAX_PATH can be held too.
std::wstring Extended(const char* path) {
  int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (n <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(n - 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path, -1, &wide[0], n);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.size() > 2 && wide[1] == L':') wide = L"\\\\?\\" + wide;
  return wide;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  if (__argc < 4) return 2;
  const std::wstring file = Extended(__argv[1]);
  const std::wstring ready = Extended(__argv[2]);
  const DWORD limit_ms = static_cast<DWORD>(std::atoi(__argv[3])) * 1000;
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (held == INVALID_HANDLE_VALUE) return 2;
  HANDLE mark = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark == INVALID_HANDLE_VALUE) return 2;
  CloseHandle(mark);
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < limit_ms &&
         GetFileAttributesW(ready.c_str()) != INVALID_FILE_ATTRIBUTES) {
    Sleep(50);
  }
  CloseHandle(held);
  return 0;
}
