// Crypto: the SHA-256 and ECDSA P-256 checks of what is launched. The
// operating system's own libraries do the work (OpenSSL's libcrypto on
// Linux, CNG on Windows); nothing of the cryptography is ours.
#ifndef VORN_PLATFORM_CRYPTO_H_
#define VORN_PLATFORM_CRYPTO_H_

#include <cstddef>
#include <memory>
#include <string>

namespace vorn::platform {

// Sizes in bytes: a SHA-256 digest, a P-256 public key as X then Y (the
// uncompressed point without its 0x04 prefix), and a signature as r then s.
constexpr size_t kSha256Bytes = 32;
constexpr size_t kP256PublicKeyBytes = 64;
constexpr size_t kP256SignatureBytes = 64;

// One running SHA-256. Not thread-safe.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(const char* data, size_t n) = 0;
  // The 32-byte digest of everything updated so far; the object is spent
  // afterwards. Empty when the system failed to compute it.
  virtual std::string Final() = 0;
};

class Crypto {
 public:
  virtual ~Crypto() = default;
  // A fresh SHA-256; null when the system cannot provide one.
  virtual std::unique_ptr<Sha256> NewSha256() = 0;
  // Whether `signature` (r then s, 64 bytes) is a valid ECDSA P-256
  // signature over the SHA-256 of `message` under `public_key` (X then Y,
  // 64 bytes). False for a key that is not a point of the curve and for
  // inputs of the wrong size.
  virtual bool VerifyP256(const std::string& public_key,
                          const std::string& message,
                          const std::string& signature) = 0;
};

}  // namespace vorn::platform

#endif  // VORN_PLATFORM_CRYPTO_H_
