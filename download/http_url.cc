// HttpUrl parsing and the resolution of references.
#include "download/http_url.h"

#include <string>

#include "download/response_header.h"
#include "platform/text.h"

namespace vorn {

namespace {

bool IsSchemeByte(char c, bool first) {
  bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The length of the scheme of `text` (the bytes before its ':'), or -1 when
// the text does not start with one.
int SchemeLength(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ':') return i == 0 ? -1 : static_cast<int>(i);
    if (!IsSchemeByte(text[i], i == 0)) return -1;
  }
  return -1;
}

std::string WithoutFragment(const std::string& text) {
  size_t hash = text.find('#');
  return hash == std::string::npos ? text : text.substr(0, hash);
}

// RFC 3986 section 5.2.4: "." and ".." segments of a path taken out.
std::string RemoveDotSegments(std::string in) {
  std::string out;
  while (!in.empty()) {
    if (in.compare(0, 3, "../") == 0) {
      in.erase(0, 3);
    } else if (in.compare(0, 2, "./") == 0) {
      in.erase(0, 2);
    } else if (in.compare(0, 3, "/./") == 0) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.compare(0, 4, "/../") == 0 || in == "/..") {
      in = in.size() == 3 ? "/" : in.substr(3);
      size_t last = out.rfind('/');
      out.erase(last == std::string::npos ? 0 : last);
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      size_t next = in.find('/', 1);
      if (next == std::string::npos) next = in.size();
      out += in.substr(0, next);
      in.erase(0, next);
    }
  }
  return out;
}

// Host and port of an authority ("host", "host:port", "[v6]:port").
UrlError ReadAuthority(const std::string& authority, bool secure,
                       std::string* host, uint16_t* port) {
  if (authority.find('@') != std::string::npos) return UrlError::kNotHttp;
  std::string port_text;
  bool has_port = false;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos || close == 1) return UrlError::kNotHttp;
    *host = authority.substr(1, close - 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return UrlError::kNotHttp;
      port_text = rest.substr(1);
      has_port = true;
    }
  } else {
    size_t colon = authority.find(':');
    *host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = authority.substr(colon + 1);
      has_port = true;
    }
  }
  if (host->empty()) return UrlError::kNotHttp;
  // A name or an IPv4 address holds none of these; an IPv6 address holds
  // hex digits, ':' and '.' alone.
  const bool bracketed = authority[0] == '[';
  for (char c : *host) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
               (c >= 'A' && c <= 'F');
    if (bracketed ? !(hex || c == ':' || c == '.')
                  : (c == '?' || c == '[' || c == ']')) {
      return UrlError::kNotHttp;
    }
  }
  *port = secure ? 443 : 80;
  if (has_port) {
    uint64_t value = 0;
    if (port_text.size() > 5 || !ParseDigits(port_text, 65535, &value) ||
        value == 0) {
      return UrlError::kBadPort;
    }
    *port = static_cast<uint16_t>(value);
  }
  return UrlError::kNone;
}

// The path of a target, without its query.
std::string PathOf(const std::string& target) {
  return target.substr(0, target.find('?'));
}

}  // namespace

UrlError HttpUrl::Parse(const std::string& text, HttpUrl* out) {
  return ParseAbsolute(text, /*empty_path_is_root=*/false, out);
}

UrlError HttpUrl::ParseAbsolute(const std::string& text,
                                bool empty_path_is_root, HttpUrl* out) {
  std::string url = TrimLeft(text);
  if (!IsRequestSafe(url)) return UrlError::kUnsafe;
  int scheme_length = SchemeLength(url);
  if (scheme_length < 0 || url.compare(scheme_length, 3, "://") != 0) {
    return UrlError::kNotHttp;
  }
  std::string scheme = LowerAscii(url.substr(0, scheme_length));
  if (scheme != "http" && scheme != "https") return UrlError::kNotHttp;
  HttpUrl parsed;
  parsed.secure = scheme == "https";
  url = WithoutFragment(url);
  std::string rest = url.substr(scheme_length + 3);
  size_t slash = rest.find('/');
  if (slash == std::string::npos) {
    // A reference may leave the path out ("http://mirror"): it is "/".
    if (!empty_path_is_root || rest.find('?') != std::string::npos) {
      return UrlError::kNotHttp;
    }
    rest += "/";
    url += "/";
    slash = rest.size() - 1;
  }
  UrlError error = ReadAuthority(rest.substr(0, slash), parsed.secure,
                                 &parsed.host, &parsed.port);
  if (error != UrlError::kNone) return error;
  parsed.target = rest.substr(slash);
  parsed.text = url;
  *out = parsed;
  return UrlError::kNone;
}

UrlError HttpUrl::Resolve(const std::string& reference, HttpUrl* out) const {
  if (!IsRequestSafe(reference)) return UrlError::kUnsafe;
  const std::string ref = WithoutFragment(reference);
  if (SchemeLength(ref) >= 0) return ParseAbsolute(ref, true, out);
  const std::string scheme = secure ? "https:" : "http:";
  if (ref.compare(0, 2, "//") == 0) {
    return ParseAbsolute(scheme + ref, true, out);
  }

  HttpUrl resolved = *this;
  if (ref.empty()) {
    // The same resource again.
  } else if (ref[0] == '/') {
    size_t query = ref.find('?');
    resolved.target = RemoveDotSegments(ref.substr(0, query)) +
                      (query == std::string::npos ? "" : ref.substr(query));
  } else if (ref[0] == '?') {
    resolved.target = PathOf(target) + ref;
  } else {
    // Merged with the base path up to its last '/', then cleaned.
    std::string base = PathOf(target);
    size_t query = ref.find('?');
    std::string merged =
        base.substr(0, base.rfind('/') + 1) + ref.substr(0, query);
    resolved.target = RemoveDotSegments(merged) +
                      (query == std::string::npos ? "" : ref.substr(query));
  }
  if (resolved.target.empty()) resolved.target = "/";
  resolved.text =
      std::string(secure ? "https://" : "http://") + HostField() +
      resolved.target;
  *out = resolved;
  return UrlError::kNone;
}

std::string HttpUrl::HostField() const {
  std::string out =
      host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port != DefaultPort()) out += ":" + std::to_string(port);
  return out;
}

}  // namespace vorn
