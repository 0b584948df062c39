// The real backend's digest and signature check through Env::Default():
// SHA-256 known answers, and ECDSA P-256 verification of a key and
// signature the openssl command made for this run (tests/crypto_fixture.sh,
// found through VORN_CRYPTO_FIXTURE). Runs on every backend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/text.h"
#include "tests/unit/fake_env.h"

namespace vorn::platform {
namespace {

Crypto* Backend() { return Env::Default().crypto; }

// `input` is fed in chunks of the listed sizes, round and round until it
// is used up; empty chunks included, so that those change nothing.
TEST(PlatformCrypto, Sha256KnownAnswers) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<size_t> chunks;
    const char* digest_hex;
  };
  const Case cases[] = {
      {"empty",
       "",
       {0},
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc",
       "abc",
       {3},
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abc byte by byte",
       "abc",
       {1, 0},
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits",
       "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       {56},
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"448 bits across a block edge",
       "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       {55, 1},
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million 'a'",
       std::string(1000000, 'a'),
       {1, 63, 64, 65, 0, 4093},
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  ASSERT_NE(Backend(), nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Sha256> sha = Backend()->NewSha256();
    ASSERT_NE(sha, nullptr);
    size_t at = 0;
    for (size_t i = 0; at < c.input.size() || i == 0; ++i) {
      size_t n = c.chunks[i % c.chunks.size()];
      if (n > c.input.size() - at) n = c.input.size() - at;
      sha->Update(c.input.data() + at, n);
      at += n;
    }
    EXPECT_EQ(HexEncode(sha->Final()), c.digest_hex);
  }
}

struct Fixture {
  std::string key;
  std::string message;
  std::string signature;
};

// Reads the fixture's files; false (with a failure) when they are broken.
bool ReadFixture(const std::string& dir, Fixture* out) {
  std::string key_hex = testing::ReadAll(dir + "/key.pub-hex");
  std::string sig_hex = testing::ReadAll(dir + "/sig-hex");
  out->message = testing::ReadAll(dir + "/message");
  bool ok = HexDecodeLower(key_hex, kP256PublicKeyBytes, &out->key) &&
            HexDecodeLower(sig_hex, kP256SignatureBytes, &out->signature) &&
            !out->message.empty();
  EXPECT_TRUE(ok) << "unreadable crypto fixture in " << dir;
  return ok;
}

// p - y for the field prime p of P-256, 32 bytes big-endian: the Y of the
// point's negative.
std::string NegateY(const std::string& y) {
  std::string p;
  HexDecodeLower(
      "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff", 32,
      &p);
  std::string out(32, '\0');
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    int d = static_cast<unsigned char>(p[i]) -
            static_cast<unsigned char>(y[i]) - borrow;
    borrow = d < 0;
    out[i] = static_cast<char>(d + (borrow ? 256 : 0));
  }
  return out;
}

std::string FlipBit(std::string bytes, size_t byte, int bit) {
  bytes[byte] = static_cast<char>(bytes[byte] ^ (1 << bit));
  return bytes;
}

TEST(PlatformCrypto, VerifyP256) {
  const char* dir = std::getenv("VORN_CRYPTO_FIXTURE");
  if (dir == nullptr || *dir == '\0') {
    GTEST_SKIP() << "VORN_CRYPTO_FIXTURE not set: no key to check against";
  }
  Fixture f;
  ASSERT_TRUE(ReadFixture(dir, &f));
  const std::string& k = f.key;
  const std::string& m = f.message;
  const std::string& s = f.signature;
  const std::string x = k.substr(0, 32);
  const std::string y = k.substr(32);
  const std::string r = s.substr(0, 32);
  // The order n of the curve's base point: an s of n is out of range.
  std::string n;
  ASSERT_TRUE(HexDecodeLower(
      "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551", 32,
      &n));

  struct Case {
    const char* name;
    std::string key;
    std::string message;
    std::string signature;
    bool valid;
  };
  const Case cases[] = {
      {"good signature", k, m, s, true},
      {"bit flipped in the message", k, FlipBit(m, m.size() / 2, 3), s, false},
      {"message one byte longer", k, m + '\n', s, false},
      {"empty message", k, "", s, false},
      {"bit flipped in r", k, m, FlipBit(s, 5, 0), false},
      {"bit flipped in s", k, m, FlipBit(s, 40, 7), false},
      {"r and s swapped", k, m, s.substr(32) + r, false},
      {"s is zero", k, m, r + std::string(32, '\0'), false},
      {"s is the order", k, m, r + n, false},
      {"bit flipped in X", FlipBit(k, 0, 0), m, s, false},
      {"bit flipped in Y: off the curve", FlipBit(k, 63, 0), m, s, false},
      {"the key of the negated point (X, p - Y)", x + NegateY(y), m, s, false},
      {"(0, 0): off the curve", std::string(64, '\0'), m, s, false},
      {"coordinates beyond the field", std::string(64, '\xff'), m, s, false},
      {"key one byte short", k.substr(0, 63), m, s, false},
      {"key one byte long", k + '\0', m, s, false},
      {"key with its 0x04 prefix", '\x04' + k, m, s, false},
      {"empty key", "", m, s, false},
      {"signature one byte short", k, m, s.substr(0, 63), false},
      {"signature one byte long", k, m, s + '\0', false},
      {"empty signature", k, m, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Backend()->VerifyP256(c.key, c.message, c.signature), c.valid);
  }
}

}  // namespace
}  // namespace vorn::platform
