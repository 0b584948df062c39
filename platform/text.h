// Byte-string helpers shared by every layer: the handful of C library and
// string operations the system relies on, with their exact semantics.
// Texts are 8-bit strings in the system's ANSI code page and are never
// converted here.
#ifndef VORN_PLATFORM_TEXT_H_
#define VORN_PLATFORM_TEXT_H_

#include <cstdint>
#include <string>

namespace vorn {

// Position of `needle` in `text` at or after `from`, or -1 when absent.
int Find(const std::string& text, const std::string& needle, int from = 0);

// The first `count` bytes (all of them when count exceeds the length,
// nothing when it is negative).
std::string Left(const std::string& text, int count);

// `count` bytes from `from`, cut short at the end of the text; empty for a
// negative count or a start past the end.
std::string Mid(const std::string& text, int from, int count);

// Everything from `from` to the end (empty past the end).
std::string Mid(const std::string& text, int from);

// White space here is blank, tab, CR, LF, vertical tab and form feed.
bool IsBlankByte(char c);
std::string TrimLeft(const std::string& text);
std::string TrimRight(const std::string& text);
std::string Trim(const std::string& text);

// Lower-cases A to Z only; every other byte (double-byte characters
// included) stays as it is.
std::string LowerAscii(const std::string& text);

// Replaces every occurrence of `from` with `to`.
std::string ReplaceAll(const std::string& text, const std::string& from,
                       const std::string& to);

// The C library's atoi: leading white space skipped, an optional sign, then
// decimal digits up to the first other byte; no digits give 0. Overflow
// wraps in 32 bits instead of being undefined.
int32_t Atoi(const std::string& text);

// Reads `text` as a decimal number made of digits only (no sign, no blank,
// at least one digit) that is at most `max`. False otherwise, with `*out`
// untouched.
bool ParseDigits(const std::string& text, uint64_t max, uint64_t* out);

// Bytes as lower-case hexadecimal digits, two per byte.
std::string HexEncode(const std::string& bytes);
// Reads exactly `bytes` bytes written as 2 * `bytes` lower-case hexadecimal
// digits and nothing else. False otherwise (upper-case digits included),
// with `*out` untouched.
bool HexDecodeLower(const std::string& hex, size_t bytes, std::string* out);

// The "%2d" formatting: right-aligned in two characters, blank-padded.
std::string FormatWidth2(int value);

// Little-endian encoding helpers for the fixed-size fields of files.
void AppendLe32(std::string* out, uint32_t value);
void AppendLe64(std::string* out, uint64_t value);
uint32_t ReadLe32(const char* p);
uint64_t ReadLe64(const char* p);

}  // namespace vorn

#endif  // VORN_PLATFORM_TEXT_H_
