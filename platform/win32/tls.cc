// TLS through Schannel (SSPI) over a connected socket, the server's chain
// checked here against the system's certificate store.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/dialer.h"
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

namespace vorn::platform::dial {
namespace {

using win32::SystemText;

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

class SchannelChannel final : public TlsChannel {
 public:
  SchannelChannel(SOCKET s, std::string host, std::string object)
      : socket_(s),
        host_(std::move(host)),
        address_(AddressBytes(host_)),
        object_(std::move(object)) {}
  ~SchannelChannel() override {
    if (have_context_) DeleteSecurityContext(&context_);
  }
  SchannelChannel(const SchannelChannel&) = delete;
  SchannelChannel& operator=(const SchannelChannel&) = delete;

  // The handshake within `timeout_ms`, then the server's certificate.
  bool Start(uint32_t timeout_ms, Status* error) {
    bool ok = AcquireCredentials() &&
              Handshake(Deadline(timeout_ms), /*first=*/true) &&
              VerifyServer() && ReadStreamSizes();
    *error = last_error_;
    return ok;
  }

  int Send(const std::string& data, Status* error) override {
    int sent = SendTls(data);
    *error = last_error_;
    return sent;
  }

  int Receive(char* buf, int n, uint32_t receive_timeout_ms,
              Status* error) override {
    receive_timeout_ms_ = receive_timeout_ms;
    int got = ReceiveTls(buf, n);
    *error = last_error_;
    return got;
  }

 private:
  bool SendRaw(const char* data, size_t n) {
    OsCode code = SendAll(static_cast<Handle>(socket_), data, n);
    if (code != 0) last_error_ = OsFailure(code, object_);
    return code == 0;
  }

  int ReceiveFailed(int code) {
    last_error_ = OsFailure(code, object_);
    return kSocketError;
  }

  bool AcquireCredentials() {
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
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, object_,
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
  bool Handshake(const Deadline& deadline, bool first) {
    // No SNI for an address, and nothing for Schannel to check: the name
    // check is VerifyServer's.
    std::string target = address_.empty() ? host_ : std::string();
    bool need_input = first;
    token_unsent_ = false;
    if (first) {
      SECURITY_STATUS status = Step(nullptr, &target);
      if (status != SEC_I_CONTINUE_NEEDED) return StepFailed(status);
    }
    for (;;) {
      if (need_input || in_.empty()) {
        if (!ReceiveRecordBytes(deadline)) return false;
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
      return StepFailed(status);
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

  bool StepFailed(SECURITY_STATUS status) {
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
    last_error_ = Status::Error(kind, object_, static_cast<int>(status),
                                SystemText(static_cast<DWORD>(status)));
    return false;
  }

  // Appends what the server sent to in_, waiting at most for `deadline`.
  bool ReceiveRecordBytes(const Deadline& deadline) {
    long left = deadline.Left();
    if (left >= 0) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval limit{left / 1000, (left % 1000) * 1000};
      int ready = select(/*nfds=*/0, &readable, nullptr, nullptr, &limit);
      if (ready == SOCKET_ERROR) {
        last_error_ = OsFailure(WSAGetLastError(), object_);
        return false;
      }
      if (ready == 0) {
        last_error_ = Status::Error(ErrorKind::kTimedOut, object_);
        return false;
      }
    }
    char buf[kRecordReadBytes];
    int got = recv(socket_, buf, sizeof(buf), /*flags=*/0);
    if (got == SOCKET_ERROR) {
      last_error_ = OsFailure(WSAGetLastError(), object_);
      return false;
    }
    if (got == 0) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, object_, 0,
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
  bool VerifyServer() {
    CertificateOwner cert;
    SECURITY_STATUS status = QueryContextAttributesA(
        &context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert.cert);
    if (status != SEC_E_OK || cert.cert == nullptr) {
      last_error_ = Status::Error(ErrorKind::kTlsUntrusted, object_,
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
      last_error_ = Status::Error(ErrorKind::kTlsUntrusted, object_,
                                  static_cast<int>(error), SystemText(error));
      return false;
    }
    std::wstring name = win32::Widen(host_, CP_UTF8);
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
      last_error_ = Status::Error(KindOfCertificateError(error), object_,
                                  static_cast<int>(error), text);
      return false;
    }
    return true;
  }

  bool ReadStreamSizes() {
    SECURITY_STATUS status =
        QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) {
      last_error_ = Status::Error(ErrorKind::kTlsHandshake, object_,
                                  static_cast<int>(status),
                                  SystemText(static_cast<DWORD>(status)));
      return false;
    }
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
        last_error_ = Status::Error(ErrorKind::kOther, object_,
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
      last_error_ = Status::Error(ErrorKind::kOther, object_,
                                  static_cast<int>(status),
                                  SystemText(static_cast<DWORD>(status)));
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
      return Handshake(Deadline(receive_timeout_ms_), /*first=*/false) ? 1
                                                                        : -1;
    }
    return plain_.empty() && in_.empty() ? 0 : 1;
  }

  const SOCKET socket_;
  const std::string host_;
  const std::string address_;  // the host's address bytes when a literal
  const std::string object_;   // "host:port" of the connection
  uint32_t receive_timeout_ms_ = 0;
  Status last_error_;

  CredentialsOwner credentials_;
  CtxtHandle context_{};
  bool have_context_ = false;
  bool token_unsent_ = false;  // a handshake token could not be sent
  bool tls_ended_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::string in_;     // received record bytes not yet decrypted
  std::string plain_;  // decrypted bytes not yet handed out
  size_t plain_at_ = 0;
};

}  // namespace

std::unique_ptr<TlsChannel> StartTlsChannel(Handle s, const std::string& host,
                                            const std::string& object,
                                            uint32_t timeout_ms,
                                            Status* error) {
  auto channel = std::make_unique<SchannelChannel>(static_cast<SOCKET>(s),
                                                   host, object);
  if (!channel->Start(timeout_ms, error)) return nullptr;
  return channel;
}

}  // namespace vorn::platform::dial
