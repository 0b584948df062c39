#include "platform/text.h"

#include <cstdio>

namespace vorn {

int Find(const std::string& text, const std::string& needle, int from) {
  if (from < 0) from = 0;
  if (static_cast<size_t>(from) > text.size()) return -1;
  size_t pos = text.find(needle, static_cast<size_t>(from));
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

std::string Left(const std::string& text, int count) {
  if (count <= 0) return std::string();
  return text.substr(0, static_cast<size_t>(count));
}

std::string Mid(const std::string& text, int from, int count) {
  if (count <= 0 || from < 0 || static_cast<size_t>(from) >= text.size()) {
    return std::string();
  }
  return text.substr(static_cast<size_t>(from), static_cast<size_t>(count));
}

std::string Mid(const std::string& text, int from) {
  if (from < 0) from = 0;
  if (static_cast<size_t>(from) >= text.size()) return std::string();
  return text.substr(static_cast<size_t>(from));
}

bool IsBlankByte(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

std::string TrimLeft(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlankByte(text[i])) ++i;
  return text.substr(i);
}

std::string TrimRight(const std::string& text) {
  size_t n = text.size();
  while (n > 0 && IsBlankByte(text[n - 1])) --n;
  return text.substr(0, n);
}

std::string Trim(const std::string& text) { return TrimRight(TrimLeft(text)); }

std::string LowerAscii(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ReplaceAll(const std::string& text, const std::string& from,
                       const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

int32_t Atoi(const std::string& text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
          text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint32_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    ++i;
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

bool ParseDigits(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10u) return false;
    value = value * 10u + digit;
  }
  *out = value;
  return true;
}

std::string HexEncode(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

namespace {
int LowerHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

bool HexDecodeLower(const std::string& hex, size_t bytes, std::string* out) {
  if (hex.size() != bytes * 2) return false;
  std::string decoded;
  decoded.reserve(bytes);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = LowerHexValue(hex[i]);
    int low = LowerHexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    decoded.push_back(static_cast<char>(high * 16 + low));
  }
  *out = decoded;
  return true;
}

std::string FormatWidth2(int value) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%2d", value);
  return buf;
}

void AppendLe32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

void AppendLe64(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

uint32_t ReadLe32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

uint64_t ReadLe64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace vorn
