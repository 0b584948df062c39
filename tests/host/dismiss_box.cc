// Plays the user in front of the updater's message boxes: waits for
// top-level dialogs (class "#32770") captioned CAPTION, records their text
// and presses OK.
//
//   dismiss_box.exe CAPTION OUT_DIR TIMEOUT_SECONDS [MAX_BOXES]
//
// For the Nth box (from 1) it writes OUT_DIR\box-N.ansi (the text in the
// ANSI code page, as the updater handed it to MessageBoxA) and
// OUT_DIR\box-N.utf8 (the text as shown, in UTF-8), then sends the box
// WM_COMMAND IDOK (WM_CLOSE if that does not close it) and appends
// "box N acp <code page> dismissed" or "... stuck" to OUT_DIR\boxes.txt.
//
// It ends after MAX_BOXES boxes (when given and > 0), once the file
// OUT_DIR\stop exists or OUT_DIR is gone (after one last look for a box),
// or after the time-out. Exit status: 0, 3 after a time-out before MAX_BOXES
// boxes, 4 when a box would not close, 2 for bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kPollMs = 50;

bool WriteFileBytes(const std::string& path, const std::string& bytes,
                    const char* mode) {
  FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ToCodePage(const std::wstring& text, UINT code_page) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(code_page, 0, text.data(),
                              static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(code_page, 0, text.data(),
                        static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
  }
  return out;
}

// The text of a window of another process: WM_GETTEXT is carried across
// processes, while GetWindowText only returns captions there.
std::wstring TextOf(HWND window) {
  wchar_t buf[4096];
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutW(window, WM_GETTEXT, sizeof(buf) / sizeof(buf[0]),
                          reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000,
                          &copied) == 0) {
    return std::wstring();
  }
  return std::wstring(buf, static_cast<size_t>(copied));
}

// The box's message: the first "Static" child with any text (the icon is
// a text-less static).
std::wstring MessageOf(HWND box) {
  for (HWND child = FindWindowExA(box, nullptr, "Static", nullptr);
       child != nullptr; child = FindWindowExA(box, child, "Static", nullptr)) {
    std::wstring text = TextOf(child);
    if (!text.empty()) return text;
  }
  return std::wstring();
}

bool WaitGone(HWND box, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += kPollMs) {
    if (!IsWindow(box)) return true;
    Sleep(kPollMs);
  }
  return !IsWindow(box);
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  if (__argc < 4) return 2;
  const char* caption = __argv[1];
  std::string out_dir = __argv[2];
  int timeout_seconds = std::atoi(__argv[3]);
  int max_boxes = __argc > 4 ? std::atoi(__argv[4]) : 0;
  if (timeout_seconds <= 0) return 2;
  CreateDirectoryA(out_dir.c_str(), nullptr);
  const std::string stop_file = out_dir + "\\stop";

  const DWORD deadline =
      GetTickCount() + static_cast<DWORD>(timeout_seconds) * 1000;
  int seen = 0;
  bool stuck = false;
  bool last_look = false;
  for (;;) {
    HWND box = FindWindowExA(nullptr, nullptr, "#32770", caption);
    // A box is visible once its text is in place.
    if (box != nullptr && IsWindowVisible(box)) {
      ++seen;
      std::wstring text = MessageOf(box);
      std::string base = out_dir + "\\box-" + std::to_string(seen);
      WriteFileBytes(base + ".ansi", ToCodePage(text, CP_ACP), "wb");
      WriteFileBytes(base + ".utf8", ToCodePage(text, CP_UTF8), "wb");
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      bool gone = WaitGone(box, 5000);
      if (!gone) {
        PostMessageA(box, WM_CLOSE, 0, 0);
        gone = WaitGone(box, 2000);
      }
      stuck = stuck || !gone;
      WriteFileBytes(out_dir + "\\boxes.txt",
                     "box " + std::to_string(seen) + " acp " +
                         std::to_string(GetACP()) +
                         (gone ? " dismissed\n" : " stuck\n"),
                     "ab");
      if (!gone) break;
      if (max_boxes > 0 && seen >= max_boxes) break;
      continue;
    }
    if (last_look) break;
    if (Exists(stop_file) || !Exists(out_dir)) {
      // The program that shows the boxes has ended; a box of its last
      // moments may still be on the way out.
      last_look = true;
      continue;
    }
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
      return stuck ? 4 : (max_boxes > 0 ? 3 : 0);
    }
    Sleep(kPollMs);
  }
  return stuck ? 4 : 0;
}
