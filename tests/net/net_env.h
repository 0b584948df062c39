// What the tests against the local servers share: their ports, the bytes
// of the docroot's package files, and a plain HTTP fetch for reading the
// fault server's request log. Ports come from VORN_TEST_PORT_BASE, which
// the test runner sets; without it the tests skip.
#ifndef VORN_TESTS_NET_NET_ENV_H_
#define VORN_TESTS_NET_NET_ENV_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "platform/env.h"

namespace vorn::nettest {

// The base port, or 0 when the servers are not there.
inline int PortBase() {
  const char* text = std::getenv("VORN_TEST_PORT_BASE");
  if (text == nullptr || *text == '\0') return 0;
  return std::atoi(text);
}

// nginx: ranges, keep-alive, Last-Modified; /slow/ at 200 KiB/s.
inline uint16_t NginxPort() { return static_cast<uint16_t>(PortBase()); }
// Python's http.server: ignores Range, answers 200.
inline uint16_t PythonPort() { return static_cast<uint16_t>(PortBase() + 1); }
// The two fault servers, each the other's peer
// (tests/servers/fault_server.py).
inline uint16_t FaultPort() { return static_cast<uint16_t>(PortBase() + 2); }
inline uint16_t FaultPeerPort() {
  return static_cast<uint16_t>(PortBase() + 3);
}

// The directory of the servers' files (VORN_TEST_SERVERS, else the build's
// own): their logs and the test CA.
inline std::string ServersDir() {
  const char* dir = std::getenv("VORN_TEST_SERVERS");
  return dir != nullptr && *dir != '\0' ? dir : VORN_TEST_SERVERS_DIR;
}

// nginx over TLS 1.2 (scripts/test-servers.sh): a certificate from the
// test CA for localhost, 127.0.0.1 and ::1, on 127.0.0.1 and [::1]; the
// others on 127.0.0.1 only.
inline uint16_t TlsPort() { return static_cast<uint16_t>(PortBase() + 8); }
inline uint16_t TlsWrongNamePort() {
  return static_cast<uint16_t>(PortBase() + 10);
}
inline uint16_t TlsExpiredPort() {
  return static_cast<uint16_t>(PortBase() + 11);
}
inline uint16_t TlsUntrustedPort() {
  return static_cast<uint16_t>(PortBase() + 12);
}

// Makes the servers' test CA trusted by this process. On Linux that is
// OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR (which replace the machine's
// own values), read at the process's first TLS connection, so a test calls
// this before it connects; the version fetch reads them at every fetch.
// Under wine the CA is in the prefix's current-user root store already:
// the test run adds it before the tests start (tests/host/trust_root.cc).
inline void TrustTestCa() {
#ifndef _WIN32
  std::string tls = ServersDir() + "/tls";
  setenv("SSL_CERT_FILE", (tls + "/ca.pem").c_str(), 1);
  setenv("SSL_CERT_DIR", tls.c_str(), 1);
#endif
}

inline std::string Url(uint16_t port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

// Skips the calling test when no servers were started for it.
#define VORN_REQUIRE_SERVERS()                                        \
  do {                                                                \
    if (::vorn::nettest::PortBase() == 0) {                           \
      GTEST_SKIP() << "VORN_TEST_PORT_BASE not set: no test servers"; \
    }                                                                 \
  } while (0)

// Byte i of every docroot pkg-N.bin.
inline char PackageByte(uint32_t i) {
  return static_cast<char>((i * 131u + i / 251u) & 0xFFu);
}
// The whole content of pkg-N.bin.
inline std::string PackageBytes(uint32_t n) {
  std::string out(n, '\0');
  for (uint32_t i = 0; i < n; ++i) out[i] = PackageByte(i);
  return out;
}
// The sizes of the docroot's pkg-N.bin files.
constexpr uint32_t kPackageSizes[] = {1,    100,   101,     1003,
                                      4096, 65536, 1048577, 3145728};

// Content of text-large.txt.
inline std::string LargeText() {
  std::string out;
  for (int k = 0; k < 10000; ++k) {
    out += "line " + std::to_string(k) +
           " of the large text, no zero bytes here\n";
  }
  return out;
}

// UTC calendar fields of every docroot file's modification time
// (2020-01-02 03:04:05, which the servers send as GMT).
constexpr platform::LocalFields kDocrootMtime{2020, 1, 2, 3, 4, 5};

// A text unique to this run, for telling one test's requests from others'
// in the fault server's log.
inline std::string UniqueTag(const std::string& prefix) {
  std::random_device device;
  return prefix + "-" + std::to_string(device()) + std::to_string(device());
}

// Sends a bare GET and returns everything the server sent until it closed
// (header included), or an empty text when it could not connect.
inline std::string FetchRaw(uint16_t port, const std::string& target) {
  std::unique_ptr<platform::Socket> socket =
      platform::Env::Default().network->NewSocket();
  if (!socket || !socket->Connect("127.0.0.1", port, 5000))
    return std::string();
  socket->SetReceiveTimeout(5000);
  socket->Send("GET " + target +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               "Connection: close\r\n\r\n");
  std::string out;
  char buffer[4096];
  for (;;) {
    int n = socket->Receive(buffer, sizeof(buffer));
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

// The body of an answer fetched by FetchRaw.
inline std::string BodyOf(const std::string& answer) {
  size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

}  // namespace vorn::nettest

#endif  // VORN_TESTS_NET_NET_ENV_H_
