#include "platform/proxy_rules.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/text.h"

namespace vorn::platform {
namespace {

// The entries of `list` cut at every byte of `separators`, empty ones
// dropped.
std::vector<std::string> SplitList(const std::string& list,
                                   const std::string& separators) {
  std::vector<std::string> out;
  std::string entry;
  for (char c : list) {
    if (separators.find(c) != std::string::npos) {
      if (!entry.empty()) out.push_back(entry);
      entry.clear();
    } else {
      entry.push_back(c);
    }
  }
  if (!entry.empty()) out.push_back(entry);
  return out;
}

std::string WithoutTrailingDot(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A dotted IPv4 address of four decimal parts of at most 255.
bool ReadIpv4(const std::string& text, uint32_t* address) {
  std::vector<std::string> parts = SplitList(text, ".");
  if (parts.size() != 4 || text.front() == '.' || text.back() == '.' ||
      text.find("..") != std::string::npos) {
    return false;
  }
  uint32_t value = 0;
  for (const std::string& part : parts) {
    uint64_t n = 0;
    if (part.size() > 3 || !ParseDigits(part, 255, &n)) return false;
    value = (value << 8) | static_cast<uint32_t>(n);
  }
  *address = value;
  return true;
}

// An IPv6 address as RFC 4291 section 2.2 writes it: eight groups of one
// to four hexadecimal digits separated by ':', one "::" standing for one
// or more groups of zeros, the last two groups optionally a dotted IPv4
// address. No brackets, no zone.
bool ReadIpv6(const std::string& text, uint8_t address[16]) {
  uint16_t groups[8] = {};
  int count = 0;  // groups read
  int gap = -1;   // where "::" stands, in groups
  size_t i = 0;
  if (text.compare(0, 2, "::") == 0) {
    gap = 0;
    i = 2;
    if (i == text.size()) {
      std::fill(address, address + 16, 0);
      return true;
    }
  } else if (text.empty() || text[0] == ':') {
    return false;
  }
  for (;;) {
    // A dotted IPv4 address ends the text and fills two groups.
    size_t end = text.find(':', i);
    const std::string part =
        text.substr(i, end == std::string::npos ? std::string::npos : end - i);
    uint32_t v4 = 0;
    if (end == std::string::npos && part.find('.') != std::string::npos) {
      if (count > 6 || !ReadIpv4(part, &v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4 >> 16);
      groups[count++] = static_cast<uint16_t>(v4 & 0xFFFF);
      break;
    }
    if (part.empty() || part.size() > 4 || count == 8) return false;
    uint32_t value = 0;
    for (char c : part) {
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    groups[count++] = static_cast<uint16_t>(value);
    if (end == std::string::npos) break;
    i = end + 1;
    if (i < text.size() && text[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
      if (i == text.size()) break;
    } else if (i == text.size()) {
      return false;  // a single ':' at the end
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  uint16_t full[8] = {};
  if (gap < 0) {
    std::copy(groups, groups + 8, full);
  } else {
    std::copy(groups, groups + gap, full);
    std::copy(groups + gap, groups + count, full + 8 - (count - gap));
  }
  for (int g = 0; g < 8; ++g) {
    address[2 * g] = static_cast<uint8_t>(full[g] >> 8);
    address[2 * g + 1] = static_cast<uint8_t>(full[g] & 0xFF);
  }
  return true;
}

// Whether the first `bits` bits of two IPv6 addresses are equal.
bool SamePrefix(const uint8_t a[16], const uint8_t b[16], uint64_t bits) {
  for (uint64_t bit = 0; bit < bits; bit += 8) {
    const uint64_t left = bits - bit;
    const uint8_t mask =
        left >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - left));
    if (((a[bit / 8] ^ b[bit / 8]) & mask) != 0) return false;
  }
  return true;
}

// "host[:port]" or "[address][:port]"; an absent port stays `*port`.
bool ReadHostPort(const std::string& text, std::string* host, uint16_t* port) {
  std::string rest;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    *host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return false;
  } else {
    size_t colon = text.find(':');
    *host = text.substr(0, colon);
    if (colon != std::string::npos) rest = text.substr(colon);
  }
  // A host never holds '@': text with one is credentials, never shown.
  if (host->empty() || host->find('@') != std::string::npos) return false;
  if (!rest.empty()) {
    uint64_t n = 0;
    if (!ParseDigits(rest.substr(1), 65535, &n)) return false;
    *port = static_cast<uint16_t>(n);
  }
  return true;
}

bool HasBlankOrControl(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// Glob match without case: '*' stands for any run of bytes.
bool GlobMatches(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string Base64(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) |
                 (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                 static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string PercentDecode(const std::string& text) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
        hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

ProxyRoute ParseEnvironmentProxy(const std::string& source,
                                 const std::string& value) {
  ProxyRoute route;
  route.kind = ProxyRoute::Kind::kUnsupported;
  // What the log may show: the variable alone until host and port are
  // known, never anything of the credentials.
  route.description = source;
  std::string scheme;
  std::string userinfo;
  std::string rest = SplitCredentials(value, &scheme, &userinfo);
  const bool has_credentials = rest.size() < value.size() - scheme.size();
  // The authority ends where a path, query or fragment begins.
  std::string authority = rest.substr(0, rest.find_first_of("/?#"));

  if (HasBlankOrControl(value)) return route;
  if (!scheme.empty() && LowerAscii(scheme) != "http://") return route;
  uint16_t port = 1080;
  if (!ReadHostPort(authority, &route.host, &port)) {
    route.host.clear();
    return route;
  }
  route.port = port;
  if (has_credentials) {
    size_t colon = userinfo.find(':');
    std::string user = PercentDecode(userinfo.substr(0, colon));
    std::string password = colon == std::string::npos
                               ? ""
                               : PercentDecode(userinfo.substr(colon + 1));
    route.authorization = "Basic " + Base64(user + ":" + password);
  }
  route.kind = ProxyRoute::Kind::kHttpProxy;
  route.description = source + "=" + HostPort(route.host, route.port);
  return route;
}

std::string SplitCredentials(const std::string& value, std::string* scheme,
                             std::string* userinfo) {
  std::string rest = value;
  scheme->clear();
  userinfo->clear();
  size_t separator = rest.find("://");
  if (separator != std::string::npos) {
    *scheme = rest.substr(0, separator + 3);
    rest = rest.substr(separator + 3);
  }
  // A host never holds '@', a password may ('#', '/' and '?' as well): the
  // credentials run to the last '@'.
  size_t at = rest.rfind('@');
  if (at == std::string::npos) return rest;
  *userinfo = rest.substr(0, at);
  return rest.substr(at + 1);
}

std::string WithoutCredentials(std::string text,
                               const std::vector<std::string>& proxy_values) {
  // The "user:password@" of any "scheme://" URL in the text...
  for (size_t p = text.find("://"); p != std::string::npos;
       p = text.find("://", p + 3)) {
    size_t start = p + 3;
    size_t end = text.find_first_of(" \t\r\n'\"<>", start);
    if (end == std::string::npos) end = text.size();
    size_t at = text.find_last_of('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start && at < end) {
      text.erase(start, at + 1 - start);
    }
  }
  // ...and the credentials of each value as written, wherever they stand
  // (until none is left: taking one out may join the bytes of another).
  for (const std::string& value : proxy_values) {
    std::string scheme, userinfo;
    std::string rest = SplitCredentials(value, &scheme, &userinfo);
    if (rest.size() == value.size() - scheme.size()) continue;
    const std::string credentials = userinfo + "@";
    for (size_t at = text.find(credentials); at != std::string::npos;
         at = text.find(credentials)) {
      text.erase(at, credentials.size());
    }
  }
  return text;
}

bool NoProxyMatches(const std::string& list, const std::string& host) {
  if (list == "*") return true;
  uint8_t address6[16];
  const bool numeric6 = ReadIpv6(host, address6);
  const std::string name =
      numeric6 ? host : WithoutTrailingDot(LowerAscii(host));
  if (name.empty()) return false;
  uint32_t address = 0;
  const bool numeric = !numeric6 && ReadIpv4(name, &address);
  for (std::string entry : SplitList(LowerAscii(list), ", \t\r\n")) {
    if (numeric6) {
      // An address, or an address and the number of leading bits that
      // must agree.
      size_t slash = entry.find('/');
      uint64_t bits = 128;
      if (slash != std::string::npos &&
          !ParseDigits(entry.substr(slash + 1), 128, &bits)) {
        continue;
      }
      uint8_t network[16];
      if (ReadIpv6(entry.substr(0, slash), network) &&
          SamePrefix(network, address6, bits)) {
        return true;
      }
      continue;
    }
    if (numeric) {
      size_t slash = entry.find('/');
      if (slash == std::string::npos) {
        if (entry == name) return true;
        continue;
      }
      uint32_t network = 0;
      uint64_t bits = 0;
      if (!ReadIpv4(entry.substr(0, slash), &network) ||
          !ParseDigits(entry.substr(slash + 1), 32, &bits)) {
        continue;
      }
      uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
      if ((network & mask) == (address & mask)) return true;
      continue;
    }
    entry = WithoutTrailingDot(entry);
    if (!entry.empty() && entry[0] == '.') entry = entry.substr(1);
    if (entry.empty()) continue;
    if (entry == name || EndsWith(name, "." + entry)) return true;
  }
  return false;
}

ProxyRoute EnvironmentRoute(const EnvironmentValues& env,
                            const std::string& host, bool secure) {
  auto read = [&env](const char* name) {
    auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
  };
  const char* source = nullptr;
  std::string value;
  // libcurl reads "<scheme>_proxy", then its upper case except for http
  // (which a CGI program's environment could hold from a request's Proxy
  // header), then all_proxy and ALL_PROXY.
  static const char* const kHttp[] = {"http_proxy", "all_proxy", "ALL_PROXY"};
  static const char* const kHttps[] = {"https_proxy", "HTTPS_PROXY",
                                       "all_proxy", "ALL_PROXY"};
  std::vector<const char*> names;
  if (secure) {
    names.assign(std::begin(kHttps), std::end(kHttps));
  } else {
    names.assign(std::begin(kHttp), std::end(kHttp));
  }
  for (const char* name : names) {
    value = read(name);
    if (!value.empty()) {
      source = name;
      break;
    }
  }
  if (source == nullptr) return ProxyRoute();
  std::string exempt = read("no_proxy");
  if (exempt.empty()) exempt = read("NO_PROXY");
  if (NoProxyMatches(exempt, host)) return ProxyRoute();
  return ParseEnvironmentProxy(source, value);
}

bool WinInetBypassMatches(const std::string& bypass_list,
                          const std::string& host) {
  const std::string name = LowerAscii(host);
  uint8_t address6[16];
  const bool numeric6 = ReadIpv6(host, address6);
  for (const std::string& entry :
       SplitList(LowerAscii(bypass_list), "; \t\r\n")) {
    if (entry == "<local>") {
      if (name.find('.') == std::string::npos) return true;
      continue;
    }
    if (GlobMatches(entry, name)) return true;
    if (!numeric6) continue;
    // The address as it stands in a URL, and the same address spelt
    // another way.
    if (GlobMatches(entry, "[" + name + "]")) return true;
    std::string bare = entry;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
      bare = bare.substr(1, bare.size() - 2);
    }
    uint8_t other[16];
    if (ReadIpv6(bare, other) && SamePrefix(other, address6, 128)) {
      return true;
    }
  }
  return false;
}

ProxyRoute WinInetRoute(const std::string& source,
                        const std::string& proxy_list,
                        const std::string& bypass_list, const std::string& host,
                        bool secure) {
  const std::string wanted = secure ? "https" : "http";
  std::string scheme_entry, plain_entry;
  bool have_scheme = false, have_plain = false, have_socks = false;
  for (const std::string& entry : SplitList(proxy_list, "; \t\r\n")) {
    size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      if (!have_plain) plain_entry = entry;
      have_plain = true;
      continue;
    }
    std::string scheme = LowerAscii(entry.substr(0, equals));
    if (scheme == wanted && !have_scheme) {
      scheme_entry = entry.substr(equals + 1);
      have_scheme = true;
    } else if (scheme == "socks") {
      have_socks = true;
    }
  }
  ProxyRoute route;
  if (!have_scheme && !have_plain && !have_socks) return route;
  if (WinInetBypassMatches(bypass_list, host)) return route;
  std::string chosen = have_scheme ? scheme_entry : plain_entry;
  // The source alone until host and port are known: an entry that cannot
  // be read may hold anything.
  route.description = source;
  route.kind = ProxyRoute::Kind::kUnsupported;
  if (!have_scheme && !have_plain) return route;
  // A scheme written before the address names the proxy's own protocol.
  size_t separator = chosen.find("://");
  if (separator != std::string::npos) {
    if (LowerAscii(chosen.substr(0, separator)) != "http") return route;
    chosen = chosen.substr(separator + 3);
  }
  if (!chosen.empty() && chosen.back() == '/') chosen.pop_back();
  uint16_t port = 80;
  if (!ReadHostPort(chosen, &route.host, &port)) {
    route.host.clear();
    return route;
  }
  route.port = port;
  route.kind = ProxyRoute::Kind::kHttpProxy;
  route.description = source + "=" + HostPort(route.host, route.port);
  return route;
}

}  // namespace vorn::platform
