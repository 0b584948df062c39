// The automatic proxy configuration through WinHTTP (kept apart from the
// WinINet sources: the two headers do not go together).
#include <optional>
#include <string>

#include "platform/bounded_call.h"
#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <winhttp.h>

namespace vorn::platform::win32 {
namespace {

std::string Narrow(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr,
                              nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

void FreeWide(wchar_t* text) {
  if (text != nullptr) GlobalFree(text);
}

struct Lists {
  bool found = false;
  std::string proxy;
  std::string bypass;
};

// Runs the detection or the script for `url`; every WinHTTP wait is
// bounded by `timeout_ms` as well.
Lists AskWinHttp(std::wstring url, std::wstring script, bool detect,
                 int timeout_ms) {
  Lists lists;
  HINTERNET session =
      WinHttpOpen(L"vornupdate", WINHTTP_ACCESS_TYPE_NO_PROXY,
                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return lists;
  WinHttpSetTimeouts(session, timeout_ms, timeout_ms, timeout_ms, timeout_ms);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags =
        WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!script.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = script.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info = {};
  if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
        info.lpszProxy != nullptr) {
      lists.proxy = Narrow(info.lpszProxy);
      lists.bypass = Narrow(info.lpszProxyBypass);
      lists.found = !lists.proxy.empty();
    }
    FreeWide(info.lpszProxy);
    FreeWide(info.lpszProxyBypass);
  }
  WinHttpCloseHandle(session);
  return lists;
}

}  // namespace

bool AutomaticProxyFor(const std::string& host, uint16_t port, bool secure,
                       uint32_t timeout_ms, std::string* proxy_list,
                       std::string* bypass_list) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  const bool detect = config.fAutoDetect != FALSE;
  std::wstring script =
      config.lpszAutoConfigUrl != nullptr ? config.lpszAutoConfigUrl : L"";
  FreeWide(config.lpszAutoConfigUrl);
  FreeWide(config.lpszProxy);
  FreeWide(config.lpszProxyBypass);
  if (!detect && script.empty()) return false;

  // An IPv6 address stands in brackets in a URL.
  std::wstring url = Widen(
      (secure ? "https://" : "http://") + HostPort(host, port) + "/", CP_ACP);
  const int each_ms = static_cast<int>(timeout_ms);
  std::optional<Lists> lists =
      CallWithin(timeout_ms, [url, script, detect, each_ms] {
        return AskWinHttp(url, script, detect, each_ms);
      });
  if (!lists || !lists->found) return false;
  *proxy_list = lists->proxy;
  *bypass_list = lists->bypass;
  return true;
}

}  // namespace vorn::platform::win32
