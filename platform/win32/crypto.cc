// SHA-256 and ECDSA P-256 verification through CNG (bcrypt.dll). The
// public key X||Y is imported as a BCRYPT_ECCPUBLIC_BLOB; the message's
// SHA-256 and the 64-byte r||s go to BCryptVerifySignature as they are.
#include "platform/crypto.h"

#include <memory>
#include <string>

// bcrypt.h needs the types of windows.h, which win32_common.h brings.
// clang-format off
#include "platform/win32/win32_common.h"
#include <bcrypt.h>
// clang-format on

namespace vorn::platform::win32 {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// Owns an algorithm provider and closes it once.
class UniqueAlgorithm final {
 public:
  explicit UniqueAlgorithm(LPCWSTR name) {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, name,
                                               /*pszImplementation=*/nullptr,
                                               /*dwFlags=*/0))) {
      handle_ = nullptr;
    }
  }
  ~UniqueAlgorithm() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  UniqueAlgorithm(const UniqueAlgorithm&) = delete;
  UniqueAlgorithm& operator=(const UniqueAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

struct HashDestroy {
  void operator()(void* hash) const { BCryptDestroyHash(hash); }
};
struct KeyDestroy {
  void operator()(void* key) const { BCryptDestroyKey(key); }
};
using UniqueHash = std::unique_ptr<void, HashDestroy>;
using UniqueKey = std::unique_ptr<void, KeyDestroy>;

// The providers are opened on first use and kept for the process; CNG
// lets several threads create hashes and keys from one provider.
BCRYPT_ALG_HANDLE Sha256Provider() {
  static const UniqueAlgorithm provider(BCRYPT_SHA256_ALGORITHM);
  return provider.get();
}
BCRYPT_ALG_HANDLE EcdsaP256Provider() {
  static const UniqueAlgorithm provider(BCRYPT_ECDSA_P256_ALGORITHM);
  return provider.get();
}

PUCHAR Bytes(const char* data) {
  return reinterpret_cast<PUCHAR>(const_cast<char*>(data));
}

class CngSha256 final : public Sha256 {
 public:
  explicit CngSha256(UniqueHash hash) : hash_(std::move(hash)) {}

  void Update(const char* data, size_t n) override {
    // BCryptHashData takes at most a ULONG at a time.
    const size_t kMaxChunk = 1u << 30;
    while (hash_ && n > 0) {
      ULONG chunk = static_cast<ULONG>(n < kMaxChunk ? n : kMaxChunk);
      if (!Succeeded(BCryptHashData(hash_.get(), Bytes(data), chunk, 0))) {
        hash_.reset();
      }
      data += chunk;
      n -= chunk;
    }
  }

  std::string Final() override {
    if (!hash_) return std::string();
    std::string digest(kSha256Bytes, '\0');
    bool ok = Succeeded(BCryptFinishHash(hash_.get(), Bytes(&digest[0]),
                                         static_cast<ULONG>(digest.size()), 0));
    hash_.reset();
    return ok ? digest : std::string();
  }

 private:
  UniqueHash hash_;  // null once spent or failed
};

class CngCrypto final : public Crypto {
 public:
  std::unique_ptr<Sha256> NewSha256() override {
    BCRYPT_ALG_HANDLE provider = Sha256Provider();
    BCRYPT_HASH_HANDLE raw = nullptr;
    // No buffer of ours: CNG allocates the hash object itself.
    if (provider == nullptr ||
        !Succeeded(BCryptCreateHash(provider, &raw, /*pbHashObject=*/nullptr,
                                    /*cbHashObject=*/0, /*pbSecret=*/nullptr,
                                    /*cbSecret=*/0, /*dwFlags=*/0))) {
      return nullptr;
    }
    return std::make_unique<CngSha256>(UniqueHash(raw));
  }

  bool VerifyP256(const std::string& public_key, const std::string& message,
                  const std::string& signature) override {
    if (public_key.size() != kP256PublicKeyBytes ||
        signature.size() != kP256SignatureBytes) {
      return false;
    }
    BCRYPT_ALG_HANDLE provider = EcdsaP256Provider();
    if (provider == nullptr) return false;

    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = static_cast<ULONG>(kP256PublicKeyBytes / 2);
    std::string blob(reinterpret_cast<const char*>(&header), sizeof(header));
    blob += public_key;
    BCRYPT_KEY_HANDLE raw_key = nullptr;
    if (!Succeeded(BCryptImportKeyPair(
            provider, /*hImportKey=*/nullptr, BCRYPT_ECCPUBLIC_BLOB, &raw_key,
            Bytes(blob.data()), static_cast<ULONG>(blob.size()), 0))) {
      return false;
    }
    UniqueKey key(raw_key);

    std::unique_ptr<Sha256> sha = NewSha256();
    if (!sha) return false;
    sha->Update(message.data(), message.size());
    std::string digest = sha->Final();
    if (digest.size() != kSha256Bytes) return false;

    NTSTATUS status = BCryptVerifySignature(
        key.get(), /*pPaddingInfo=*/nullptr, Bytes(digest.data()),
        static_cast<ULONG>(digest.size()), Bytes(signature.data()),
        static_cast<ULONG>(signature.size()), 0);
    return status == 0;  // STATUS_SUCCESS; anything else is a refusal
  }
};

}  // namespace

Crypto* DefaultCrypto() {
  static CngCrypto crypto;
  return &crypto;
}

}  // namespace vorn::platform::win32
