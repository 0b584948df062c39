// The text conversion the Windows backend's W calls share.
#include "platform/win32/win32_common.h"

namespace vorn::platform::win32 {

std::wstring Widen(const std::string& text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(),
                              size, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size,
                      &out[0], n);
  return out;
}

}  // namespace vorn::platform::win32
