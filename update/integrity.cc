// The checks of what is launched: the version file's announced size and
// SHA-256, and its signature when this client holds a public key.
//
// The key is compiled in (VORN_PUBLIC_KEY, 128 lower-case hex digits: X
// then Y) or else read from a file beside the executable named like it
// with ".pub" for its extension, so that a product can ship the stock
// executable with its own key. Whoever can write that file can replace the
// executable as well, so it gives an attacker nothing new. Anything at
// that name but a readable file of the right form stops the run: it must
// never silently turn the checks off.
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/text.h"
#include "update/messages.h"
#include "update/outcome_lines.h"
#include "update/release_checks.h"
#include "update/updater.h"

#ifndef VORN_PUBLIC_KEY
#define VORN_PUBLIC_KEY ""
#endif

namespace vorn {

namespace {

// A key file holds the digits and at most a line end or blanks around them.
constexpr int64_t kMaxKeyFileBytes = 4096;

// The state file in the download directory: the newest DATE accepted, as
// "DATE=YYYY-MM-DDTHH:MM:SSZ" and LF.
constexpr char kStateFileName[] = "updatestate.txt";
constexpr char kStateTempSuffix[] = ".tmp";
constexpr int64_t kMaxStateFileBytes = 256;
// How far ahead of the local clock a DATE may be and still be kept: clocks
// and time zones set wrong by hours are common, a day covers them.
constexpr int64_t kFutureSlackSeconds = 24 * 60 * 60;

}  // namespace

void Updater::LogBadKey() {
  // A compiled-in key has no file to name.
  WriteLog(key_path_.empty()
               ? msg::kKeyFileInvalid
               : WithDetail(msg::kKeyFileInvalid,
                            platform::Status::Error(platform::ErrorKind::kOther,
                                                    key_path_))
                     .c_str());
}

void Updater::LoadPublicKey() {
  key_loaded_ = true;
  public_key_.clear();
  key_path_.clear();
  std::string compiled = VORN_PUBLIC_KEY;
  if (!compiled.empty()) {
    key_state_ =
        HexDecodeLower(compiled, platform::kP256PublicKeyBytes, &public_key_)
            ? KeyState::kKey
            : KeyState::kBadKey;
    return;
  }
  // Only a key file that is not there at all means "no key": whatever else
  // stands at that name (a directory, a link to nothing, a FIFO, a file
  // that cannot be read or holds something else) stops every run.
  std::string text;
  key_path_ = platform::SiblingWithExtension(env_->process->ExecutablePath(),
                                             ".pub");
  switch (
      env_->process->ReadBesideExecutable(".pub", kMaxKeyFileBytes, &text)) {
    case platform::FileKind::kMissing:
      key_state_ = KeyState::kNoKey;
      return;
    case platform::FileKind::kOther:
      key_state_ = KeyState::kBadKey;
      return;
    case platform::FileKind::kRegular:
      break;
  }
  key_state_ =
      HexDecodeLower(Trim(text), platform::kP256PublicKeyBytes, &public_key_)
          ? KeyState::kKey
          : KeyState::kBadKey;
}

void Updater::LogStateRefusal(const char* refusal, const std::string& path) {
  WriteLog((refusal + std::string(msg::kDetailSeparator) + path +
            msg::kDetailSeparator + msg::kStateFileDeletable)
               .c_str());
}

// With a key, after the signature: a signed file is trusted only when it
// is not older than the newest one this directory has accepted, not
// expired, and not a downgrade it does not announce as such.
//
// Only a date that is not in the future (by the local clock, a day's
// slack aside) is kept: a release signed with a date far ahead, by mistake
// or by a signing machine whose clock was wrong, is accepted, but keeping
// its date would refuse every correctly dated release after it as a
// replay. For the same reason a kept date more than a day ahead of the
// clock (planted, or kept by an older client) counts as nothing kept.
bool Updater::CheckFreshness(const ReleaseChecks& checks) {
  const std::string state_path =
      download_dir_ + platform::kPathSeparator + kStateFileName;
  const int64_t latest_kept = env_->clock->NowSeconds() + kFutureSlackSeconds;
  bool has_stored = false;
  int64_t stored = 0;
  std::string state;
  switch (env_->files->KindOf(state_path)) {
    case platform::FileKind::kMissing:
      break;
    case platform::FileKind::kRegular:
      if (platform::ReadFileBytes(env_->files, state_path, kMaxStateFileBytes,
                                  &state)
              .ok() &&
          state.size() == 26 && state.compare(0, 5, "DATE=") == 0 &&
          state[25] == '\n' && ParseUtcTime(state.substr(5, 20), &stored)) {
        has_stored = stored <= latest_kept;
        break;
      }
      [[fallthrough]];
    case platform::FileKind::kOther:
      // Never read as "nothing accepted yet": that would let a replay in.
      LogStateRefusal(msg::kStateFileInvalid, state_path);
      return false;
  }
  if (!checks.has_date && has_stored) {
    LogStateRefusal(msg::kUndatedVersionFile, state_path);
    return false;
  }
  if (checks.has_date && has_stored && checks.date < stored) {
    LogStateRefusal(msg::kReplayedVersionFile, state_path);
    return false;
  }
  if (checks.has_expires && env_->clock->NowSeconds() > checks.expires) {
    WriteLog(msg::kExpiredVersionFile);
    return false;
  }
  if (!checks.rollback &&
      IsOlderVersion(version_file_.version, current_version_)) {
    WriteLog(msg::kDowngradeRefused);
    return false;
  }
  if (checks.has_date && checks.date <= latest_kept &&
      (!has_stored || checks.date > stored)) {
    // Through a temporary file and a rename: the state is the old one or
    // the new one, never a torn line.
    const std::string temp = state_path + kStateTempSuffix;
    platform::Status written = platform::WriteFileBytes(
        env_->files, temp, "DATE=" + FormatUtcTime(checks.date) + "\n");
    if (written.ok()) written = env_->files->RenameOver(temp, state_path);
    if (!written.ok()) {
      (void)env_->files->RemoveFile(temp);
      WriteLog(WithDetail(msg::kStateWriteFailed, written).c_str());
      return false;
    }
  }
  return true;
}

bool Updater::CheckRelease() {
  const ReleaseChecks& checks = version_file_.checks;
  switch (version_file_.checks_error) {
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
    case ReleaseChecksError::kBadDate:
      WriteLog(msg::kDateLineInvalid);
      return false;
    case ReleaseChecksError::kBadExpires:
      WriteLog(msg::kExpiresLineInvalid);
      return false;
    case ReleaseChecksError::kBadRollback:
      WriteLog(msg::kRollbackLineInvalid);
      return false;
    case ReleaseChecksError::kBadMirror:
      WriteLog(msg::kMirrorLineInvalid);
      return false;
  }

  if (!key_loaded_) LoadPublicKey();
  switch (key_state_) {
    case KeyState::kNoKey:
      break;
    case KeyState::kBadKey:
      LogBadKey();
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
          !env_->crypto->VerifyP256(public_key_, checks.signed_text,
                                    checks.signature)) {
        WriteLog(msg::kSignatureInvalid);
        return false;
      }
      if (!CheckFreshness(checks)) return false;
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
  // Empty unless both the digest and the size were announced.
  downloader_.SetMirrors(checks.mirrors);
  expected_sha256_ = checks.sha256;
  return true;
}

}  // namespace vorn
