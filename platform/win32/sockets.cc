// TCP client sockets through Winsock 2, with a bounded name lookup, a
// bounded connect, a receive time-out and TLS through Schannel (SSPI),
// the server's chain checked by the system's certificate store.
#include "platform/sockets.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/bounded_call.h"
#include "platform/win32/win32_common.h"

// After windows.h, which they build on. schannel.h wants subauth.h's
// types first; SCHANNEL_USE_BLACKLISTS gives SCH_CREDENTIALS, which
// newer systems need for TLS 1.3.
// clang-format off
#include <ws2tcpip.h>
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
// clang-format on

namespace vorn::platform::win32 {
namespace {

// Starts Winsock once per process, whichever thread asks first; it stays
// started until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// "host:port", with brackets around an IPv6 address.
std::string HostPort(const std::string& host, uint16_t port) {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

struct FreeAddresses {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// A getaddrinfo answer: the list (owned; null when there is none) and
// getaddrinfo's code, which stays 0 when no answer came in time.
struct Addresses {
  std::unique_ptr<addrinfo, FreeAddresses> list;
  int code = 0;
};

Addresses LookUp(const std::string& host, const std::string& service) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;  // IPv4 and IPv6, in the system's order
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  Addresses answer;
  answer.code = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (answer.code == 0) answer.list.reset(found);
  return answer;
}

// The binary form of an address literal (4 or 16 bytes); empty for a name.
std::string AddressBytes(const std::string& host) {
  in6_addr v6;
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return std::string(reinterpret_cast<const char*>(&v4), sizeof(v4));
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    return std::string(reinterpret_cast<const char*>(&v6), sizeof(v6));
  }
  return std::string();
}

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                              static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      &out[0], n);
  return out;
}

// The kind of a certificate verdict's HRESULT.
ErrorKind KindOfCertificateError(DWORD error) {
  switch (static_cast<HRESULT>(error)) {
    case CERT_E_CN_NO_MATCH:
      return ErrorKind::kTlsWrongName;
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
      return ErrorKind::kTlsExpired;
    default:
      return ErrorKind::kTlsUntrusted;
  }
}

// The HRESULT reported for chain trust bits that the policy let pass.
DWORD CodeOfTrustBits(DWORD trust_bits) {
  if ((trust_bits & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
    return static_cast<DWORD>(CERT_E_EXPIRED);
  }
  if ((trust_bits & CERT_TRUST_IS_PARTIAL_CHAIN) != 0) {
    return static_cast<DWORD>(CERT_E_CHAINING);
  }
  return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
}

// Whether the certificate names the address `bytes` (4 or 16 bytes) in its
// subject alternative names.
bool CertificateNamesAddress(PCCERT_CONTEXT cert, const std::string& bytes) {
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                        cert->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME,
                           extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, /*pDecodePara=*/nullptr,
                           &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found =
        entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
        entry.IPAddress.cbData == bytes.size() &&
        std::memcmp(entry.IPAddress.pbData, bytes.data(), bytes.size()) == 0;
  }
  LocalFree(names);
  return found;
}

// Owners of the SSPI and certificate handles.
struct CredentialsOwner {
  CredHandle handle{};
  bool valid = false;
  ~CredentialsOwner() {
    if (valid) FreeCredentialsHandle(&handle);
  }
};
struct ContextBuffer {
  void* data = nullptr;
  ~ContextBuffer() {
    if (data != nullptr) FreeContextBuffer(data);
  }
};
struct CertificateOwner {
  PCCERT_CONTEXT cert = nullptr;
  ~CertificateOwner() {
    if (cert != nullptr) CertFreeCertificateContext(cert);
  }
};
struct ChainOwner {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ~ChainOwner() {
    if (chain != nullptr) CertFreeCertificateChain(chain);
  }
};

// A bound that may be none (0 ms).
class Deadline {
 public:
  explicit Deadline(uint32_t ms)
      : unbounded_(ms == 0),
        end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {
  }
  // The time left in ms, -1 for no bound.
  long Left() const {
    if (unbounded_) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end_ - std::chrono::steady_clock::now())
                    .count();
    return left > 0 ? static_cast<long>(left) : 0;
  }

 private:
  bool unbounded_;
  std::chrono::steady_clock::time_point end_;
};

constexpr DWORD kContextFlags =
    ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
    ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
    // The chain is checked here, against the system's store, after the
    // handshake (wine's Schannel checks nothing by itself).
    ISC_REQ_MANUAL_CRED_VALIDATION;

// Bytes read from the socket per receive of TLS records.
constexpr int kRecordReadBytes = 32 * 1024;

bool SetBlocking(SOCKET s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

class Win32Socket final : public Socket {
 public:
  explicit Win32Socket(SOCKET s) : socket_(s) {}
  ~Win32Socket() override { Close(); }
  Win32Socket(const Win32Socket&) = delete;
  Win32Socket& operator=(const Win32Socket&) = delete;

  bool Connect(const std::string& host, uint16_t port,
               uint32_t timeout_ms) override {
    if (connected_) Close();
    const std::string detail = HostPort(host, port);
    if (host.empty()) {
      last_error_ = Status::Error(ErrorKind::kNotFound, "no host name");
      return false;
    }
    Addresses found = LookUpWithin(host, port, timeout_ms, LookUp);
    if (found.list == nullptr) {
      last_error_ =
          found.code == 0
              ? Status::Error(ErrorKind::kTimedOut,
                              "looking up " + detail + ": no answer within " +
                                  std::to_string(timeout_ms) + " ms")
              : OsStatus(static_cast<DWORD>(found.code),
                         "looking up " + detail);
      return false;
    }
    // Each address in turn, in the order the lookup gave them. A socket
    // whose connect failed is not used again: every further address gets
    // a new one, of its own family.
    for (const addrinfo* ai = found.list.get(); ai != nullptr;
         ai = ai->ai_next) {
      if (socket_ != INVALID_SOCKET && family_ != ai->ai_family) Close();
      if (socket_ == INVALID_SOCKET) {
        socket_ = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (socket_ == INVALID_SOCKET) {
          last_error_ = OsStatus(WSAGetLastError(), detail);
          continue;
        }
        family_ = ai->ai_family;
      }
      DWORD error = ConnectOne(ai, timeout_ms);
      if (error == 0) error = ApplyReceiveTimeout();
      if (error == 0) {
        connected_ = true;
        detail_ = detail;
        last_error_ = Status();
        return true;
      }
      last_error_ = OsStatus(error, detail);
      Close();
    }
    return false;
  }

  bool StartTls(const std::string& host, uint32_t timeout_ms) override {
    if (!connected_ || tls_) {
      last_error_ = Status::Error(
          ErrorKind::kOther, tls_ ? "TLS already started" : "not connected");
      return false;
    }
    const std::string detail = "TLS with " + host + " at " + detail_;
    host_ = host;
    address_ = AddressBytes(host);
    bool ok = AcquireCredentials(detail) &&
              Handshake(Deadline(timeout_ms), /*first=*/true, detail) &&
              VerifyServer(detail) && ReadStreamSizes(detail);
    if (!ok) {
      Close();
      return false;
    }
    last_error_ = Status();
    return true;
  }

  int Send(const std::string& data) override {
    if (socket_ == INVALID_SOCKET || !connected_) return NotConnected();
    if (tls_) return SendTls(data);
    if (!SendRaw(data.data(), data.size())) return kSocketError;
    last_error_ = Status();
    return static_cast<int>(data.size());
  }

  int Receive(char* buf, int n) override {
    if (socket_ == INVALID_SOCKET || !connected_ || n < 0) {
      return NotConnected();
    }
    if (tls_) return ReceiveTls(buf, n);
    int got = recv(socket_, buf, n, /*flags=*/0);
    // A receive time-out ends as SOCKET_ERROR (WSAETIMEDOUT) like any
    // other failure.
    if (got == SOCKET_ERROR) return ReceiveFailed(WSAGetLastError());
    last_error_ = Status();
    return got;
  }

  void SetReceiveTimeout(uint32_t timeout_ms) override {
    receive_timeout_ms_ = timeout_ms;
    if (!connected_) return;
    // A connection whose time-out cannot be applied could wait for ever:
    // it is closed instead, and the next call fails.
    DWORD error = ApplyReceiveTimeout();
    if (error != 0) {
      Close();
      last_error_ = OsStatus(error, "setting the receive time-out");
    }
  }

  void Close() override {
    connected_ = false;
    EndTls();
    if (socket_ == INVALID_SOCKET) return;
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  // Connects to one address without blocking, so that the wait can be
  // bounded, then goes back to blocking calls for the transfer; 0 or the
  // failure's code.
  DWORD ConnectOne(const addrinfo* address, uint32_t timeout_ms) {
    if (!SetBlocking(socket_, false)) return WSAGetLastError();
    DWORD error = 0;
    if (connect(socket_, address->ai_addr,
                static_cast<int>(address->ai_addrlen)) != 0) {
      error = WSAGetLastError();
      if (MapOsError(error) == OsError::kWouldBlock) {
        error = WaitConnected(timeout_ms);
      }
    }
    if (!SetBlocking(socket_, true) && error == 0) error = WSAGetLastError();
    return error;
  }

  // SO_RCVTIMEO of 0 waits for ever on Winsock too. 0 or the failure's
  // code.
  DWORD ApplyReceiveTimeout() {
    DWORD value = receive_timeout_ms_;
    return setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO,
                      reinterpret_cast<const char*>(&value), sizeof(value)) == 0
               ? 0
               : WSAGetLastError();
  }

  // Waits for a connect in progress (0: for as long as it takes); 0 once
  // it has succeeded, else the failure's code.
  DWORD WaitConnected(uint32_t timeout_ms) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket_, &writable);
    FD_SET(socket_, &failed);
    timeval limit;
    limit.tv_sec = static_cast<long>(timeout_ms / 1000);
    limit.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
    // Winsock reports a finished connect as writable, a refused one in the
    // exception set; the first argument is ignored.
    int ready = select(/*nfds=*/0, /*readfds=*/nullptr, &writable, &failed,
                       timeout_ms == 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR) return WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    int error = 0;
    int size = sizeof(error);
    if (getsockopt(socket_, SOL_SOCKET, SO_ERROR,
                   reinterpret_cast<char*>(&error), &size) != 0) {
      return WSAGetLastError();
    }
    if (error == 0 && !FD_ISSET(socket_, &writable)) error = WSAECONNREFUSED;
    return static_cast<DWORD>(error);
  }

  int NotConnected() {
    last_error_ = Status::Error(ErrorKind::kClosed, "not connected");
    return kSocketError;
  }

  int ReceiveFailed(DWORD error) {
    last_error_ = OsStatus(error, "receiving from " + detail_);
    if (MapOsError(error) == OsError::kTimedOut) {
      last_error_ =
          Status::Error(ErrorKind::kTimedOut,
                        "receiving from " + detail_ + ": nothing within " +
                            std::to_string(receive_timeout_ms_) + " ms",
                        static_cast<int>(error), last_error_.os_text());
    }
    return kSocketError;
  }

  bool SendRaw(const char* p, size_t left) {
    while (left > 0) {
      int want = left > 0x40000000 ? 0x40000000 : static_cast<int>(left);
      int sent = send(socket_, p, want, /*flags=*/0);
      if (sent == SOCKET_ERROR || sent <= 0) {
        last_error_ =
            OsStatus(sent == SOCKET_ERROR ? WSAGetLastError() : WSAECONNRESET,
                     "sending to " + detail_);
        return false;
      }
      p += sent;
      left -= static_cast<size_t>(sent);
    }
    return true;
  }

  // ---- TLS.

  bool AcquireCredentials(const std::string& detail) {
    // TLS 1.2 and newer, the system's cipher choice, no client
    // certificate, and the chain left to VerifyServer.
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols =
        ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern = {};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION |
                     SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS status = AcquireCredentialsHandleA(
        /*pszPrincipal=*/nullptr, const_cast<char*>(UNISP_NAME_A),
        SECPKG_CRED_OUTBOUND, /*pvLogonID=*/nullptr, &modern,
        /*pGetKeyFn=*/nullptr, /*pvGetKeyArgument=*/nullptr,
        &credentials_.handle, /*ptsExpiry=*/nullptr);
    if (status != SEC_E_OK) {
      // Systems before SCH_CREDENTIALS (and wine) take the older form,
      // which names the protocols to enable.
      SCHANNEL_CRED older = {};
      older.dwVersion = SCHANNEL_CRED_VERSION;
      older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
      older.dwFlags = modern.dwFlags;
      status = AcquireCredentialsHandleA(
          /*pszPrincipal=*/nullptr, const_cast<char*>(UNISP_NAME_A),
          SECPKG_CRED_OUTBOUND, /*pvLogonID=*/nullptr, &older,
          /*pGetKeyFn=*/nullptr, /*pvGetKeyArgument=*/nullptr,
          &credentials_.handle, /*ptsExpiry=*/nullptr);
    }
    if (status != SEC_E_OK) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, detail,
                                  static_cast<int>(status),
                                  SystemText(static_cast<DWORD>(status)));
      return false;
    }
    credentials_.valid = true;
    return true;
  }

  // Runs InitializeSecurityContext until the session is set up, sending
  // its tokens and feeding it the server's bytes (kept in in_, where bytes
  // past the handshake stay for the first DecryptMessage). `first` starts
  // a new context; otherwise in_ holds a post-handshake message of the
  // server's (SEC_I_RENEGOTIATE). Within `deadline`.
  bool Handshake(const Deadline& deadline, bool first,
                 const std::string& detail) {
    // No SNI for an address, and nothing for Schannel to check: the name
    // check is VerifyServer's.
    std::string target = address_.empty() ? host_ : std::string();
    bool need_input = first;
    token_unsent_ = false;
    if (first) {
      SECURITY_STATUS status = Step(nullptr, &target);
      if (status != SEC_I_CONTINUE_NEEDED) return StepFailed(status, detail);
    }
    for (;;) {
      if (need_input || in_.empty()) {
        if (!ReceiveRecordBytes(deadline, detail)) return false;
        need_input = false;
      }
      SECURITY_STATUS status = Step(&in_, &target);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        need_input = true;
        continue;
      }
      if (status == SEC_E_OK) {
        have_context_ = true;
        return true;
      }
      if (status == SEC_I_CONTINUE_NEEDED ||
          status == SEC_I_INCOMPLETE_CREDENTIALS) {
        continue;  // with the rest of in_, or more bytes when it is empty
      }
      return StepFailed(status, detail);
    }
  }

  // One InitializeSecurityContext call: `input` (null for the first) is
  // consumed but for the SECBUFFER_EXTRA bytes it leaves; a token is sent.
  // The buffers are built anew for every call: wine rewrites them.
  SECURITY_STATUS Step(std::string* input, std::string* target) {
    SecBuffer in_buffers[2];
    in_buffers[0].BufferType = SECBUFFER_TOKEN;
    in_buffers[0].pvBuffer = input != nullptr ? &(*input)[0] : nullptr;
    in_buffers[0].cbBuffer =
        input != nullptr ? static_cast<unsigned long>(input->size()) : 0;
    in_buffers[1].BufferType = SECBUFFER_EMPTY;
    in_buffers[1].pvBuffer = nullptr;
    in_buffers[1].cbBuffer = 0;
    SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffers[1];
    out_buffers[0].BufferType = SECBUFFER_TOKEN;
    out_buffers[0].pvBuffer = nullptr;
    out_buffers[0].cbBuffer = 0;
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out_buffers};
    unsigned long attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials_.handle, input == nullptr ? nullptr : &context_,
        target->empty() ? nullptr : &(*target)[0], kContextFlags,
        /*Reserved1=*/0, /*TargetDataRep=*/0,
        input == nullptr ? nullptr : &in_desc, /*Reserved2=*/0, &context_,
        &out_desc, &attributes, /*ptsExpiry=*/nullptr);
    if (input == nullptr &&
        (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
      have_context_ = true;
    }
    ContextBuffer token;
    token.data = out_buffers[0].pvBuffer;
    if (status != SEC_E_INCOMPLETE_MESSAGE && input != nullptr) {
      if (in_buffers[1].BufferType == SECBUFFER_EXTRA &&
          in_buffers[1].cbBuffer > 0 &&
          in_buffers[1].cbBuffer <= input->size()) {
        input->erase(0, input->size() - in_buffers[1].cbBuffer);
      } else {
        input->clear();
      }
    }
    if (out_buffers[0].cbBuffer > 0 && token.data != nullptr &&
        !SendRaw(static_cast<const char*>(token.data),
                 out_buffers[0].cbBuffer) &&
        !FAILED(status)) {
      // (On a failure the token is the alert that tells the server why;
      // whether it arrives does not matter.)
      token_unsent_ = true;
      return SEC_E_INTERNAL_ERROR;
    }
    return status;
  }

  bool StepFailed(SECURITY_STATUS status, const std::string& detail) {
    if (token_unsent_) return false;  // SendRaw said why
    ErrorKind kind = ErrorKind::kTlsHandshake;
    // Systems that check the chain themselves despite manual validation
    // say so here.
    switch (status) {
      case SEC_E_UNTRUSTED_ROOT:
        kind = ErrorKind::kTlsUntrusted;
        break;
      case SEC_E_WRONG_PRINCIPAL:
        kind = ErrorKind::kTlsWrongName;
        break;
      case SEC_E_CERT_EXPIRED:
        kind = ErrorKind::kTlsExpired;
        break;
      default:
        break;
    }
    last_error_ = Status::Error(kind, detail, static_cast<int>(status),
                                SystemText(static_cast<DWORD>(status)));
    return false;
  }

  // Appends what the server sent to in_, waiting at most for `deadline`.
  bool ReceiveRecordBytes(const Deadline& deadline, const std::string& detail) {
    long left = deadline.Left();
    if (left >= 0) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval limit{left / 1000, (left % 1000) * 1000};
      int ready = select(/*nfds=*/0, &readable, nullptr, nullptr, &limit);
      if (ready == SOCKET_ERROR) {
        last_error_ = OsStatus(WSAGetLastError(), detail);
        return false;
      }
      if (ready == 0) {
        last_error_ = Status::Error(ErrorKind::kTimedOut,
                                    detail + ": no handshake in time");
        return false;
      }
    }
    char buf[kRecordReadBytes];
    int got = recv(socket_, buf, sizeof(buf), /*flags=*/0);
    if (got == SOCKET_ERROR) {
      last_error_ = OsStatus(WSAGetLastError(), detail);
      return false;
    }
    if (got == 0) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, detail, 0,
                                  "the server closed the connection");
      return false;
    }
    in_.append(buf, static_cast<size_t>(got));
    return true;
  }

  // The server's certificate: its chain must end in a root the system
  // trusts, without any error on the way (wine's SSL policy passes a
  // partial chain), be valid now, and name the host: through the SSL
  // policy for a name, through its address entries for an address.
  bool VerifyServer(const std::string& detail) {
    CertificateOwner cert;
    SECURITY_STATUS status = QueryContextAttributesA(
        &context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert.cert);
    if (status != SEC_E_OK || cert.cert == nullptr) {
      last_error_ = Status::Error(ErrorKind::kTlsUntrusted, detail,
                                  static_cast<int>(status),
                                  "the server sent no certificate");
      return false;
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA chain_para = {};
    chain_para.cbSize = sizeof(chain_para);
    chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    ChainOwner chain;
    if (!CertGetCertificateChain(
            /*hChainEngine=*/nullptr, cert.cert, /*pTime=*/nullptr,
            cert.cert->hCertStore, &chain_para, /*dwFlags=*/0,
            /*pvReserved=*/nullptr, &chain.chain)) {
      DWORD error = GetLastError();
      last_error_ = Status::Error(ErrorKind::kTlsUntrusted, detail,
                                  static_cast<int>(error), SystemText(error));
      return false;
    }
    std::wstring name = Wide(host_);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para = {};
    ssl_para.cbSize = sizeof(ssl_para);
    ssl_para.dwAuthType = AUTHTYPE_SERVER;
    ssl_para.pwszServerName = address_.empty() ? &name[0] : nullptr;
    CERT_CHAIN_POLICY_PARA policy_para = {};
    policy_para.cbSize = sizeof(policy_para);
    policy_para.pvExtraPolicyPara = &ssl_para;
    CERT_CHAIN_POLICY_STATUS policy = {};
    policy.cbSize = sizeof(policy);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.chain,
                                          &policy_para, &policy)) {
      policy.dwError = GetLastError();
    }
    DWORD trust_bits = chain.chain->TrustStatus.dwErrorStatus;
    DWORD error = policy.dwError;
    if (error == 0 && trust_bits != 0) error = CodeOfTrustBits(trust_bits);
    if (error == 0 && !address_.empty() &&
        !CertificateNamesAddress(cert.cert, address_)) {
      error = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
    }
    if (error != 0) {
      std::string text = SystemText(error);
      if (policy.dwError == 0 && trust_bits != 0) {
        char bits[48];
        std::snprintf(bits, sizeof(bits), " (chain trust status 0x%lx)",
                      static_cast<unsigned long>(trust_bits));
        text += bits;
      }
      last_error_ = Status::Error(KindOfCertificateError(error), detail,
                                  static_cast<int>(error), text);
      return false;
    }
    return true;
  }

  bool ReadStreamSizes(const std::string& detail) {
    SECURITY_STATUS status =
        QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, detail,
                                  static_cast<int>(status),
                                  SystemText(static_cast<DWORD>(status)));
      return false;
    }
    tls_ = true;
    return true;
  }

  int SendTls(const std::string& data) {
    std::string record;
    size_t done = 0;
    while (done < data.size()) {
      size_t part = data.size() - done;
      if (part > sizes_.cbMaximumMessage) part = sizes_.cbMaximumMessage;
      record.resize(sizes_.cbHeader + part + sizes_.cbTrailer);
      std::memcpy(&record[sizes_.cbHeader], data.data() + done, part);
      SecBuffer buffers[4];
      buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]};
      buffers[1] = {static_cast<unsigned long>(part), SECBUFFER_DATA,
                    &record[sizes_.cbHeader]};
      buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER,
                    &record[sizes_.cbHeader + part]};
      buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) {
        last_error_ = Status::Error(ErrorKind::kOther, "sending to " + detail_,
                                    static_cast<int>(status),
                                    SystemText(static_cast<DWORD>(status)));
        return kSocketError;
      }
      // The trailer may come out shorter than its largest size.
      if (!SendRaw(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer +
                                      buffers[2].cbBuffer)) {
        return kSocketError;
      }
      done += part;
    }
    last_error_ = Status();
    return static_cast<int>(data.size());
  }

  // Hands out decrypted bytes, decrypting the next record from in_ when
  // none are left and reading more of the stream when in_ holds no whole
  // record. The end of the stream is an end whether or not the server sent
  // close_notify first: the caller's lengths tell a cut answer.
  int ReceiveTls(char* buf, int n) {
    if (n == 0) return 0;
    for (;;) {
      if (plain_at_ < plain_.size()) {
        size_t take = plain_.size() - plain_at_;
        if (take > static_cast<size_t>(n)) take = static_cast<size_t>(n);
        std::memcpy(buf, plain_.data() + plain_at_, take);
        plain_at_ += take;
        last_error_ = Status();
        return static_cast<int>(take);
      }
      if (tls_ended_) {
        last_error_ = Status();
        return 0;
      }
      if (!in_.empty()) {
        int decrypted = DecryptOne();
        if (decrypted < 0) return kSocketError;
        if (decrypted > 0) continue;  // bytes, an end, or a message handled
      }
      char chunk[kRecordReadBytes];
      int got = recv(socket_, chunk, sizeof(chunk), /*flags=*/0);
      if (got == SOCKET_ERROR) return ReceiveFailed(WSAGetLastError());
      if (got == 0) {
        tls_ended_ = true;
        continue;
      }
      in_.append(chunk, static_cast<size_t>(got));
    }
  }

  // Decrypts the record at the start of in_: 1 when it gave bytes (in
  // plain_), ended the stream or was a handshake message now handled, 0
  // when in_ holds no whole record, -1 on failure.
  int DecryptOne() {
    SecBuffer buffers[4];
    buffers[0] = {static_cast<unsigned long>(in_.size()), SECBUFFER_DATA,
                  &in_[0]};
    for (int i = 1; i < 4; ++i) buffers[i] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED &&
        status != SEC_I_RENEGOTIATE) {
      last_error_ = Status::Error(
          ErrorKind::kOther, "receiving from " + detail_,
          static_cast<int>(status), SystemText(static_cast<DWORD>(status)));
      return -1;
    }
    // Decrypted in place: the data and the bytes after the record both
    // point into in_.
    plain_.clear();
    plain_at_ = 0;
    std::string extra;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        plain_.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
    }
    in_.swap(extra);
    if (status == SEC_I_CONTEXT_EXPIRED) {
      tls_ended_ = true;  // the server's close_notify
      return 1;
    }
    if (status == SEC_I_RENEGOTIATE) {
      // A handshake message after the handshake (a TLS 1.3 session
      // ticket or key update): InitializeSecurityContext takes it.
      if (!Handshake(Deadline(receive_timeout_ms_), /*first=*/false,
                     "receiving from " + detail_)) {
        return -1;
      }
      return 1;
    }
    return plain_.empty() && in_.empty() ? 0 : 1;
  }

  void EndTls() {
    if (have_context_) DeleteSecurityContext(&context_);
    have_context_ = false;
    if (credentials_.valid) FreeCredentialsHandle(&credentials_.handle);
    credentials_.valid = false;
    tls_ = false;
    tls_ended_ = false;
    in_.clear();
    plain_.clear();
    plain_at_ = 0;
  }

  SOCKET socket_;
  int family_ = AF_INET;  // of socket_: NewSocket makes an IPv4 one
  bool connected_ = false;
  uint32_t receive_timeout_ms_ = 0;
  std::string detail_;  // "host:port" of the connection

  CredentialsOwner credentials_;
  CtxtHandle context_{};
  bool have_context_ = false;
  bool token_unsent_ = false;  // a handshake token could not be sent
  bool tls_ = false;
  bool tls_ended_ = false;
  std::string host_;
  std::string address_;  // the host's address bytes when it is a literal
  SecPkgContext_StreamSizes sizes_{};
  std::string in_;     // received record bytes not yet decrypted
  std::string plain_;  // decrypted bytes not yet handed out
  size_t plain_at_ = 0;
};

class Win32Network final : public Network {
 public:
  std::unique_ptr<Socket> NewSocket() override {
    if (!StartWinsock()) return nullptr;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<Win32Socket>(s);
  }
};

}  // namespace

Network* DefaultNetwork() {
  static Win32Network network;
  return &network;
}

}  // namespace vorn::platform::win32
