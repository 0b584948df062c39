// ParseHttpDate on arbitrary bytes: no crash, no read past the text, and a
// time only when the fields gave one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/http_date.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The caller hands over a NUL-terminated text; bytes after an embedded 0
  // are simply not part of it.
  std::string text(reinterpret_cast<const char*>(data), size);
  vorn::Time64 out(-12345);
  if (vorn::ParseHttpDate(text.c_str(), &out)) {
    if (out.seconds() < 0) __builtin_trap();
  } else if (out.seconds() != -12345) {
    __builtin_trap();  // a refused date writes nothing
  }
  return 0;
}
