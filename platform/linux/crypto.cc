// SHA-256 and ECDSA P-256 verification through OpenSSL's libcrypto. The
// public key X||Y becomes an EC key of the named curve prime256v1 (OpenSSL
// refuses a point that is not on the curve); the signature r||s becomes
// the DER ECDSA-Sig-Value that EVP_DigestVerify reads.
#include "platform/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>
#include <string>

#include "platform/linux/linux_common.h"

namespace vorn::platform::linux_os {
namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct SigFree {
  void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
struct OpensslFree {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Sig = std::unique_ptr<ECDSA_SIG, SigFree>;
using OpensslBytes = std::unique_ptr<unsigned char, OpensslFree>;

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

class OpensslSha256 final : public Sha256 {
 public:
  explicit OpensslSha256(MdCtx ctx) : ctx_(std::move(ctx)) {}

  void Update(const char* data, size_t n) override {
    if (!ctx_ || n == 0) return;
    if (EVP_DigestUpdate(ctx_.get(), data, n) != 1) ctx_.reset();
  }

  std::string Final() override {
    if (!ctx_) return std::string();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    bool ok = EVP_DigestFinal_ex(ctx_.get(), digest, &size) == 1 &&
              size == kSha256Bytes;
    ctx_.reset();
    if (!ok) return std::string();
    return std::string(reinterpret_cast<const char*>(digest), size);
  }

 private:
  MdCtx ctx_;  // null once spent or failed
};

// The P-256 key of the point X||Y; null when it is not a point of the
// curve.
Pkey PublicKey(const std::string& xy) {
  std::string point = '\x04' + xy;
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, &point[0],
                                        point.size()),
      OSSL_PARAM_construct_end(),
  };
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return nullptr;
  }
  Pkey key(raw);
  // The import already rejects a point off the curve; the full public
  // check also rules out the point at infinity and a wrong order.
  PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
  return key;
}

// r||s as a DER ECDSA-Sig-Value; empty on failure.
std::string DerSignature(const std::string& rs) {
  Sig sig(ECDSA_SIG_new());
  if (!sig) return std::string();
  const size_t half = kP256SignatureBytes / 2;
  BIGNUM* r = BN_bin2bn(Bytes(rs), static_cast<int>(half), nullptr);
  BIGNUM* s = BN_bin2bn(Bytes(rs) + half, static_cast<int>(half), nullptr);
  if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return std::string();
  }
  unsigned char* der = nullptr;
  int size = i2d_ECDSA_SIG(sig.get(), &der);
  OpensslBytes owner(der);
  if (size <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(der),
                     static_cast<size_t>(size));
}

class OpensslCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256> NewSha256() override {
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
      return nullptr;
    }
    return std::make_unique<OpensslSha256>(std::move(ctx));
  }

  bool VerifyP256(const std::string& public_key, const std::string& message,
                  const std::string& signature) override {
    if (public_key.size() != kP256PublicKeyBytes ||
        signature.size() != kP256SignatureBytes) {
      return false;
    }
    Pkey key = PublicKey(public_key);
    if (!key) return false;
    std::string der = DerSignature(signature);
    if (der.empty()) return false;
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                     key.get()) != 1) {
      return false;
    }
    return EVP_DigestVerify(ctx.get(), Bytes(der), der.size(), Bytes(message),
                            message.size()) == 1;
  }
};

}  // namespace

Crypto* DefaultCrypto() {
  static OpensslCrypto crypto;
  return &crypto;
}

}  // namespace vorn::platform::linux_os
