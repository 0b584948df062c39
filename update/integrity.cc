// The checks of what is launched: the version file's announced size and
// SHA-256, and its signature when this client holds a public key.
//
// The key is compiled in (VORN_PUBLIC_KEY, 128 lower-case hex digits: X
// then Y) or else read from a file beside the executable named like it
// with ".pub" for its extension, so that a product can ship the stock
// executable with its own key. Whoever can write that file can replace the
// executable as well, so it gives an attacker nothing new. A key file that
// is present but unreadable or malformed stops the run: it must never
// silently turn the checks off.
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/text.h"
#include "update/messages.h"
#include "update/release_checks.h"
#include "update/updater.h"

#ifndef VORN_PUBLIC_KEY
#define VORN_PUBLIC_KEY ""
#endif

namespace vorn {

namespace {

// A key file holds the digits and at most a line end or blanks around them.
constexpr int64_t kMaxKeyFileBytes = 4096;

}  // namespace

std::string Updater::KeyFilePath() const {
  std::string path = env_->process->ExecutablePath();
  if (path.empty()) return path;
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
    path.resize(dot);
  }
  return path + ".pub";
}

Updater::KeyState Updater::LoadPublicKey(std::string* key) const {
  std::string compiled = VORN_PUBLIC_KEY;
  if (!compiled.empty()) {
    return HexDecodeLower(compiled, platform::kP256PublicKeyBytes, key)
               ? KeyState::kKey
               : KeyState::kBadKey;
  }
  std::string path = KeyFilePath();
  if (path.empty() || env_->files->FileLength(path) < 0) {
    return KeyState::kNoKey;
  }
  std::string text;
  if (!platform::ReadFileBytes(env_->files, path, kMaxKeyFileBytes, &text) ||
      !HexDecodeLower(Trim(text), platform::kP256PublicKeyBytes, key)) {
    return KeyState::kBadKey;
  }
  return KeyState::kKey;
}

bool Updater::CheckRelease() {
  ReleaseChecks checks;
  switch (ReadReleaseChecks(version_text_, &checks)) {
    case ReleaseChecksError::kNone:
      break;
    case ReleaseChecksError::kBadSha256:
      WriteLog(msg::kSha256LineInvalid);
      return false;
    case ReleaseChecksError::kBadSize:
      WriteLog(msg::kSizeLineInvalid);
      return false;
    case ReleaseChecksError::kBadSignature:
      WriteLog(msg::kSignatureLineInvalid);
      return false;
  }

  std::string key;
  switch (LoadPublicKey(&key)) {
    case KeyState::kNoKey:
      break;
    case KeyState::kBadKey:
      WriteLog(msg::kKeyFileInvalid);
      return false;
    case KeyState::kKey:
      if (checks.signature.empty()) {
        WriteLog(msg::kSignatureMissing);
        return false;
      }
      // A signature over a text without the package's checks would vouch
      // for a URL only, not for the bytes behind it.
      if (checks.sha256.empty() || !checks.has_size) {
        WriteLog(msg::kSignedFieldsMissing);
        return false;
      }
      if (env_->crypto == nullptr ||
          !env_->crypto->VerifyP256(key, checks.signed_text,
                                    checks.signature)) {
        WriteLog(msg::kSignatureInvalid);
        return false;
      }
      break;
  }

  // Sizes past what a signed 64-bit count holds can match no file.
  int64_t size = -1;
  if (checks.has_size) {
    size = checks.size > static_cast<uint64_t>(INT64_MAX)
               ? INT64_MAX
               : static_cast<int64_t>(checks.size);
  }
  downloader_.SetExpectedPackage(size, checks.sha256);
  return true;
}

}  // namespace vorn
