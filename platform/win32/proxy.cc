// The proxy of the Windows build: the per-user Internet settings as
// WinINet reports them (the same ones the version-file fetch goes by),
// and, when they name no proxy, the automatic configuration (detection or
// a configuration script) through WinHTTP, bounded to a few seconds.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/proxy_rules.h"
#include "platform/win32/win32_common.h"

// After windows.h, which it builds on.
#include <wininet.h>

namespace vorn::platform::win32 {
namespace {

// The proxy list and bypass list WinINet goes by; false when it uses none.
bool WinInetLists(std::string* proxy_list, std::string* bypass_list) {
  std::vector<char> buffer(4096);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!InternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, buffer.data(),
                            &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(size);
    if (!InternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, buffer.data(),
                              &size)) {
      return false;
    }
  }
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(
      buffer.data());
  const char* proxy = reinterpret_cast<const char*>(info->lpszProxy);
  const char* bypass = reinterpret_cast<const char*>(info->lpszProxyBypass);
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || proxy == nullptr ||
      *proxy == '\0') {
    return false;
  }
  *proxy_list = proxy;
  *bypass_list = bypass != nullptr ? bypass : "";
  return true;
}

class InternetSettingsProxies final : public ProxyResolver {
 public:
  ProxyRoute RouteFor(const std::string& host, uint16_t port,
                      bool secure) override {
    std::string proxy_list, bypass_list;
    if (WinInetLists(&proxy_list, &bypass_list)) {
      return WinInetRoute("WinINet", proxy_list, bypass_list, host, secure);
    }
    // The automatic configuration answers per URL and may take seconds:
    // each place is asked once per process, so the four connections of a
    // download do not each wait for it.
    const std::string place = std::string(secure ? "https://" : "http://") +
                              host + ":" + std::to_string(port);
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto known = automatic_.find(place);
      if (known != automatic_.end()) return known->second;
    }
    ProxyRoute route;
    if (AutomaticProxyFor(host, port, secure, kAutomaticProxyMs, &proxy_list,
                          &bypass_list)) {
      route = WinInetRoute("WinHTTP", proxy_list, bypass_list, host, secure);
    }
    std::lock_guard<std::mutex> lock(mu_);
    automatic_[place] = route;
    return route;
  }

 private:
  static constexpr uint32_t kAutomaticProxyMs = 4000;
  std::mutex mu_;
  std::map<std::string, ProxyRoute> automatic_;
};

}  // namespace

ProxyResolver* DefaultProxies() {
  static InternetSettingsProxies proxies;
  return &proxies;
}

}  // namespace vorn::platform::win32
