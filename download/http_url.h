// HttpUrl: an http or https URL as a value, parsed once, and the rules by
// which a redirect's Location is resolved against the URL that answered.
#ifndef VORN_DOWNLOAD_HTTP_URL_H_
#define VORN_DOWNLOAD_HTTP_URL_H_

#include <cstdint>
#include <string>

namespace vorn {

// Why a text is not a URL the downloader can use.
enum class UrlError {
  kNone,
  kNotHttp,  // no scheme, another scheme than http or https, no host
  kBadPort,  // a port that is not 1 to 65535 written in digits only
  kUnsafe,   // a control byte or a blank: it would split a request line
};

struct HttpUrl {
  bool secure = false;  // https
  std::string host;     // a name or an address; IPv6 without brackets
  uint16_t port = 0;
  // The path and the query as they go on the request line (never a
  // fragment); starts with '/'.
  std::string target;
  // The URL as text, without a fragment: as given for a parsed one,
  // composed for a resolved one. It is the referer of whatever it redirects to.
  std::string text;

  // Reads `text` (leading white space skipped). kNone on success, with
  // `*out` filled; `*out` untouched otherwise. The scheme's letter case is
  // ignored; everything else is kept byte for byte. User information
  // (`user@host`) is refused: credentials never go into a request.
  static UrlError Parse(const std::string& text, HttpUrl* out);

  // The target of `reference` (a Location value) seen from this URL, as
  // RFC 3986 section 5 resolves it: an absolute URL, a network-path
  // reference (`//host/x`), an absolute path, a query-only or a relative
  // path with `.` and `..` segments; the fragment is dropped. The bytes are
  // kept as they are (no change of letter case).
  UrlError Resolve(const std::string& reference, HttpUrl* out) const;

  // The Host field: the host (in brackets for IPv6) and `:port` when the
  // port is not the scheme's default.
  std::string HostField() const;
  uint16_t DefaultPort() const { return secure ? 443 : 80; }

 private:
  static UrlError ParseAbsolute(const std::string& text,
                                bool empty_path_is_root, HttpUrl* out);
};

}  // namespace vorn

#endif  // VORN_DOWNLOAD_HTTP_URL_H_
