// The version-file fetch through libcurl: http and https (the certificate
// and the name verified against the system's trusted certificates),
// bounded redirects, no cache, the proxy from the usual environment
// variables (libcurl reads them itself), a bounded connect, a low-speed
// limit, so a server that accepts and then says nothing ends the attempt,
// a bound on the whole attempt and one on the body's size.
#include "platform/internet.h"

#include <curl/curl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialer.h"
#include "platform/linux/linux_common.h"
#include "platform/proxy_rules.h"

namespace vorn::platform::linux_os {
namespace {

constexpr long kMaxRedirects = 20;
constexpr long kConnectTimeoutSeconds = 30;
// An attempt that receives less than one byte a second for a minute ends.
constexpr long kLowSpeedSeconds = 60;

// Points the fetch at the trusted certificates that OpenSSL's default
// locations give the package download: SSL_CERT_FILE and SSL_CERT_DIR when
// set (libcurl itself reads neither), else libcurl's own, the same system
// bundle. Verification of the chain and the name stays on either way.
void UseSystemTrust(CURL* c) {
  const char* file = std::getenv(X509_get_default_cert_file_env());
  const char* dir = std::getenv(X509_get_default_cert_dir_env());
  if (file != nullptr && *file != '\0')
    curl_easy_setopt(c, CURLOPT_CAINFO, file);
  if (dir != nullptr && *dir != '\0') curl_easy_setopt(c, CURLOPT_CAPATH, dir);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_SSLVERSION,
                   static_cast<long>(CURL_SSLVERSION_TLSv1_2));
}

// The body so far; reading stops once it would pass kMaxVersionFileBytes.
struct Body {
  std::string bytes;
  bool too_large = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Body* body = static_cast<Body*>(user);
  size_t n = size * count;
  size_t room = kMaxVersionFileBytes - body->bytes.size();
  if (n > room) {
    body->bytes.append(data, room);
    body->too_large = true;
    return 0;  // any other count than `n` ends the transfer
  }
  body->bytes.append(data, n);
  return n;
}

struct CurlHandle {
  CURL* curl = curl_easy_init();
  ~CurlHandle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

// The proxy values libcurl may have taken (it quotes a value it cannot
// read, credentials and all, in its error text).
std::vector<std::string> ProxyValues() {
  std::vector<std::string> values;
  for (const char* name :
       {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') values.push_back(value);
  }
  return values;
}

// Hands the family of the address libcurl connected to (directly, not
// through a proxy) to the package's connections to the same host, so that
// a family whose path never answers is not waited for again.
void RememberFamilyOf(CURL* c) {
  if (!ProxyValues().empty()) return;
  char* ip = nullptr;
  char* url = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_PRIMARY_IP, &ip) != CURLE_OK ||
      curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK ||
      ip == nullptr || *ip == '\0' || url == nullptr) {
    return;
  }
  CURLU* parsed = curl_url();
  char* host = nullptr;
  if (parsed != nullptr &&
      curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    const bool v6 = std::string(ip).find(':') != std::string::npos;
    dial::RememberFamily(host, v6 ? AF_INET6 : AF_INET);
  }
  curl_free(host);
  curl_url_cleanup(parsed);
}

// What a failed transfer came to. A failed certificate check is told
// apart by OpenSSL's verdict on the chain: a date out of range, a chain
// that ends nowhere trusted. libcurl checks the name itself, after the
// handshake, and a name it refuses leaves the verdict at the value it
// starts from, !X509_V_OK (1), as the chain's own verdict was never read.
ErrorKind KindOf(CURL* c, CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return ErrorKind::kHostNotFound;
    case CURLE_COULDNT_CONNECT: {
      long os_error = 0;
      curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &os_error);
      if (os_error == ETIMEDOUT) return ErrorKind::kTimedOut;
      return os_error == ECONNREFUSED || os_error == 0 ? ErrorKind::kRefused
                                                       : ErrorKind::kOther;
    }
    case CURLE_OPERATION_TIMEDOUT:
      return ErrorKind::kTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verified = X509_V_OK;
      curl_easy_getinfo(c, CURLINFO_SSL_VERIFYRESULT, &verified);
      switch (verified) {
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
          return ErrorKind::kTlsExpired;
        case X509_V_OK:
        case !X509_V_OK:
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
          return ErrorKind::kTlsWrongName;
        default:
          return ErrorKind::kTlsUntrusted;
      }
    }
    case CURLE_SSL_CACERT_BADFILE:
      return ErrorKind::kTlsUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
      return ErrorKind::kTlsHandshake;
    default:
      return ErrorKind::kOther;
  }
}

class CurlInternet final : public InternetClient {
 public:
  explicit CurlInternet(uint32_t attempt_ms) : attempt_ms_(attempt_ms) {}

  FetchResult Fetch(const std::string& url,
                    const std::string& user_agent) override {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    FetchResult result;
    CurlHandle handle;
    if (handle.curl == nullptr) {
      return StoppedFetch(FetchStatus::kError, std::string(), ErrorKind::kOther,
                          FetchObject(url), 0,
                          "cannot start an internet session");
    }
    HeaderList headers;
    headers.list = curl_slist_append(headers.list, "Cache-Control: no-cache");
    headers.list = curl_slist_append(headers.list, "Pragma: no-cache");

    char error[CURL_ERROR_SIZE] = {0};
    CURL* c = handle.curl;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_USERAGENT, user_agent.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    UseSystemTrust(c);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(attempt_ms_));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
    Body body;
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);

    CURLcode rc = curl_easy_perform(c);
    if (body.too_large) {
      return StoppedFetch(FetchStatus::kTooLarge, std::move(body.bytes),
                          ErrorKind::kOther, FetchObject(url), 0,
                          TooLargeText());
    }
    if (rc != CURLE_OK) {
      return StoppedFetch(
          FetchStatus::kError, std::move(body.bytes), KindOf(c, rc),
          FetchObject(url), static_cast<int>(rc),
          WithoutCredentials(error[0] != '\0' ? error : curl_easy_strerror(rc),
                             ProxyValues()));
    }
    RememberFamilyOf(c);
    result.body = std::move(body.bytes);
    result.status = FetchStatus::kOk;
    return result;
  }

 private:
  uint32_t attempt_ms_;
};

}  // namespace

InternetClient* DefaultInternet() {
  static CurlInternet internet(kFetchAttemptSeconds * 1000);
  return &internet;
}

std::unique_ptr<InternetClient> NewInternet(uint32_t attempt_ms) {
  return std::make_unique<CurlInternet>(attempt_ms);
}

}  // namespace vorn::platform::linux_os
