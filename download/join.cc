// The end of a transfer: the part file becomes the package by one rename,
// and after a transfer that did not complete the plan keeps the progress.
//
// The package appears whole or not at all. The part file is renamed over
// the package file only when every segment reported all its bytes, the part
// file has the package's size and, with an announced SHA-256, its bytes have
// that digest; only then is the plan deleted. Anything that fails on the way
// leaves the package file untouched and the part file and plan in place for
// the next run, except a digest that does not match: those bytes are not
// the package, and a resume would only keep them.
#include "download/downloader.h"

#include <algorithm>
#include <utility>

#include "platform/files.h"

namespace vorn {

bool Downloader::SegmentsComplete() const {
  if (!plan_.ranged) return slots_[0].outcome == Outcome::kOk;
  for (const SegmentRange& range : plan_.record.ranges) {
    if (range.start <= range.end) return false;
  }
  return true;
}

Outcome Downloader::JoinSegments() {
  error_ = platform::Status();
  platform::FileSystem* fs = env_->files;
  if (!SegmentsComplete() || fs->FileLength(plan_.part_path) != plan_.size) {
    return Outcome::kIncomplete;
  }
  auto failed = [&](Outcome outcome, platform::Status why) {
    error_ = std::move(why);
    return outcome;
  };
  // A digest that cannot be taken is the crypto library's failure.
  const platform::Status no_digest =
      platform::Status::Error(platform::ErrorKind::kOther, "SHA-256");

  if (!expected_sha256_.empty()) {
    // A digest that cannot be taken is no match, but says nothing against
    // the bytes: they stay for the next run.
    if (!digest_) return failed(Outcome::kCopyFailed, no_digest);
    // What worker 0 did not hash as it wrote is read back once.
    std::unique_ptr<platform::File> in;
    platform::Status read =
        fs->Open(plan_.part_path, platform::OpenMode::kRead, &in);
    if (!read.ok()) return failed(Outcome::kCopyFailed, read);
    std::string buffer(static_cast<size_t>(kReadBackBytes), '\0');
    while (hashed_ < plan_.size) {
      int64_t got = 0;
      read = in->ReadAt(hashed_, &buffer[0],
                        std::min(plan_.size - hashed_, kReadBackBytes), &got);
      if (read.ok() && got == 0) {
        // The file is shorter than when the transfer ended.
        read = platform::Status::Error(platform::ErrorKind::kOther,
                                       plan_.part_path);
      }
      if (!read.ok()) return failed(Outcome::kCopyFailed, read);
      digest_->Update(buffer.data(), static_cast<size_t>(got));
      hashed_ += got;
    }
    (void)in->Close();
    const std::string sum = digest_->Final();
    if (sum.empty()) return failed(Outcome::kCopyFailed, no_digest);
    if (sum != expected_sha256_) {
      RemovePartialFiles();
      return Outcome::kDigestMismatch;
    }
  }
  platform::Status replaced = fs->RenameOver(plan_.part_path, plan_.save_path);
  if (!replaced.ok()) return failed(Outcome::kReplaceFailed, replaced);
  RemovePartialFiles();
  return Outcome::kOk;
}

void Downloader::RemovePartialFiles() {
  // The plan goes first: a kill between the two steps then leaves a part
  // file without a plan, which the next run discards, instead of a plan
  // whose bytes are gone. One connection keeps no plan.
  if (plan_.ranged) (void)env_->files->RemoveFile(plan_.plan_path);
  (void)env_->files->RemoveFile(plan_.part_path);
}

platform::Status Downloader::RecordProgress() {
  // The workers moved every start to the first byte their segment lacks.
  if (!plan_.ranged) return platform::Status();
  return WriteRecord(plan_.record);
}

}  // namespace vorn
