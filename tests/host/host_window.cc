// A stand-in for the program that the updater signals: a top-level dialog
// window (class "#32770") with a direct "Button" child captioned with the
// given title. When the dialog receives WM_COMMAND 32823 it appends
// "command 32823" to the record file and exits.
//
//   test_host.exe TITLE RECORD_FILE [TIMEOUT_SECONDS]
//
// RECORD_FILE.ready is written once the window exists, so that a script
// can wait for it: "ready", then "caption " and the button's caption as the
// window holds it, in UTF-8 (so a script can see what the ANSI title on
// the command line became). Exit status: 0 after the command, 3 after the
// time-out (default 60 s), 2 for bad arguments or a window that could not be
// made.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr WORD kHostCommand = 32823;
constexpr UINT_PTR kTimeoutTimer = 1;
constexpr int kButtonId = 1001;

std::string g_record;
int g_exit_code = 3;

bool AppendLine(const std::string& path, const std::string& line) {
  FILE* f = std::fopen(path.c_str(), "ab");
  if (f == nullptr) return false;
  bool ok = std::fputs((line + "\n").c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// Writes the file under another name first, so that it appears whole.
bool WriteWhole(const std::string& path, const std::string& text) {
  std::string partial = path + ".partial";
  DeleteFileA(partial.c_str());
  if (!AppendLine(partial, text)) return false;
  return MoveFileExA(partial.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string CaptionUtf8(HWND window) {
  wchar_t wide[1024];
  int n = GetWindowTextW(window, wide, 1024);
  if (n <= 0) return std::string();
  int size =
      WideCharToMultiByte(CP_UTF8, 0, wide, n, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, n, &utf8[0], size, nullptr, nullptr);
  return utf8;
}

INT_PTR CALLBACK HostDialogProc(HWND dialog, UINT message, WPARAM wparam,
                                LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == kHostCommand) {
        AppendLine(g_record, "command " + std::to_string(kHostCommand));
        g_exit_code = 0;
        DestroyWindow(dialog);
      }
      return TRUE;
    case WM_TIMER:
      if (wparam == kTimeoutTimer) DestroyWindow(dialog);
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(dialog);
      return TRUE;
    case WM_DESTROY:
      PostQuitMessage(g_exit_code);
      return TRUE;
    default:
      return FALSE;
  }
}

// An in-memory dialog template: no controls, no menu, the default dialog
// class and an empty caption (set afterwards with the ANSI call).
struct alignas(4) DialogTemplate {
  DLGTEMPLATE header;
  WORD menu = 0;
  WORD window_class = 0;
  WCHAR title = 0;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  if (__argc < 3) return 2;
  const char* title = __argv[1];
  g_record = __argv[2];
  int timeout_seconds = __argc > 3 ? std::atoi(__argv[3]) : 60;
  if (timeout_seconds <= 0) timeout_seconds = 60;

  DialogTemplate tmpl = {};
  tmpl.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
  tmpl.header.dwExtendedStyle = 0;
  tmpl.header.cdit = 0;
  tmpl.header.x = 10;
  tmpl.header.y = 10;
  tmpl.header.cx = 200;
  tmpl.header.cy = 80;
  HWND dialog = CreateDialogIndirectParamA(instance, &tmpl.header,
                                           /*hWndParent=*/nullptr,
                                           HostDialogProc, /*dwInitParam=*/0);
  if (dialog == nullptr) return 2;
  SetWindowTextA(dialog, "vorn test host");
  HWND button = CreateWindowExA(
      /*dwExStyle=*/0, "Button", title, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
      /*X=*/10, /*Y=*/10, /*nWidth=*/250, /*nHeight=*/30, dialog,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonId)), instance,
      /*lpParam=*/nullptr);
  if (button == nullptr) return 2;
  SetTimer(dialog, kTimeoutTimer, static_cast<UINT>(timeout_seconds) * 1000,
           /*lpTimerFunc=*/nullptr);

  if (!WriteWhole(g_record + ".ready",
                  "ready\ncaption " + CaptionUtf8(button))) {
    return 2;
  }

  MSG msg;
  BOOL got;
  while ((got = GetMessageA(&msg, /*hWnd=*/nullptr, 0, 0)) != 0) {
    if (got == -1) return 2;
    if (!IsDialogMessageA(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}
