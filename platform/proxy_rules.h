// The rules that turn proxy settings into a route, free of any system
// call, shared by both backends: the environment variables as libcurl
// reads them for an http:// or https:// URL (Linux), and the WinINet proxy
// and bypass lists (Windows).
#ifndef VORN_PLATFORM_PROXY_RULES_H_
#define VORN_PLATFORM_PROXY_RULES_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/proxy.h"

namespace vorn::platform {

// Environment values by name; a missing name reads as empty.
using EnvironmentValues = std::map<std::string, std::string>;

// The variables EnvironmentRoute reads.
inline constexpr const char* kProxyVariables[] = {
    "http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
    "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

// The route of an http:// URL to `host` (an https:// one when `secure`),
// as libcurl takes it: http_proxy (lower case only; for https https_proxy,
// else HTTPS_PROXY), else all_proxy, else ALL_PROXY (an empty value counts
// as unset); no proxy when none is set or when the host matches no_proxy
// (else NO_PROXY).
ProxyRoute EnvironmentRoute(const EnvironmentValues& env,
                            const std::string& host, bool secure);

// One proxy value, "host", "host:port" or "http://host[:port]", each with
// an optional "user:password@" (percent-decoded, sent as Basic; it runs to
// the last '@', so a password may hold '#', '/', '?' and '@'). The port
// defaults to 1080. Any other scheme, a value with blanks or control
// bytes, an empty host or an unreadable port give kUnsupported. The
// description is "source=host:port", or `source` alone for a value that
// gives no HTTP proxy: never the credentials.
ProxyRoute ParseEnvironmentProxy(const std::string& source,
                                 const std::string& value);

// Cuts a proxy value into its "scheme://" (or nothing), its credentials
// (everything before the last '@', or nothing) and the rest, returned.
std::string SplitCredentials(const std::string& value, std::string* scheme,
                             std::string* userinfo);

// `text` (an error text of the system's HTTP client) without any
// credentials: those of each of `proxy_values` wherever they stand, and
// the "user:password@" of any "scheme://" URL in it.
std::string WithoutCredentials(std::string text,
                               const std::vector<std::string>& proxy_values);

// Whether `host` is exempt by the no_proxy list `list`: "*" alone exempts
// every host; otherwise entries separated by commas or blanks, compared
// without case and without a trailing dot. A name matches itself and every
// name below it (with or without a leading dot on the entry); an IPv4
// address (dotted, four parts) matches an equal address or an
// "address/bits" range (bits 0 to 32), an IPv6 address (`host` without
// brackets) an equal address in any of its spellings or an
// "address/bits" range (bits 0 to 128), both entries without brackets, as
// libcurl 8 reads them. An IPv4 entry never matches an IPv6 address (nor
// one mapped into IPv6) and the other way round.
bool NoProxyMatches(const std::string& list, const std::string& host);

// The route of a connection to `host` for an http:// URL (an https:// one
// when `secure`) from the WinINet proxy list and bypass list. The list
// holds "host:port" for every scheme or entries "scheme=host:port"
// separated by ';' or blanks: the entry of the URL's scheme (http= or
// https=) wins, else a scheme-less one, else a socks= one (kUnsupported);
// none of them means direct. The port defaults to 80; an unreadable one
// gives kUnsupported. The description is "source=host:port", or `source`
// alone.
ProxyRoute WinInetRoute(const std::string& source,
                        const std::string& proxy_list,
                        const std::string& bypass_list, const std::string& host,
                        bool secure);

// Whether `host` is on the WinINet bypass list: entries separated by ';'
// or blanks, compared without case, '*' standing for any run of bytes;
// "<local>" stands for every host name without a dot. An IPv6 address
// (`host` without brackets) is also matched in brackets, and by an entry
// that is the same address in another spelling, with or without brackets;
// there are no "address/bits" ranges on this list (WinINet has none).
bool WinInetBypassMatches(const std::string& bypass_list,
                          const std::string& host);

// Standard base64 with padding.
std::string Base64(const std::string& bytes);

// %XX sequences decoded; a '%' not followed by two hexadecimal digits
// stays as it is.
std::string PercentDecode(const std::string& text);

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_PROXY_RULES_H_
