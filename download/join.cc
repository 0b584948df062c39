// The join of the segment files into the package file, and the progress
// record after a transfer that did not complete.
//
// The package appears whole or not at all. The join first checks that every
// segment file holds exactly its bytes, joins them into a temporary file in
// the download directory (inside the system where it can; through one
// bounded buffer where it cannot or where the digest is taken), checks every
// write and the close, and renames the result over the package file; only
// then are the segment files and the info file deleted. Anything that fails
// on the way leaves the package file untouched and the segments in place
// for the next run, except a digest that does not match: those bytes are
// not the package, and a resume would only rebuild them.
#include "download/downloader.h"
#include "platform/crypto.h"
#include "platform/files.h"

namespace vorn {

namespace {

// Appends the file at `path` to `out`; false unless exactly `expected`
// bytes were read and written. With `digest` the bytes pass through one
// bounded buffer and are hashed on the way; without, the system may copy
// them without a trip through this process.
bool AppendFile(platform::FileSystem* fs, const std::string& path,
                int64_t expected, platform::Sha256* digest,
                platform::File* out) {
  std::unique_ptr<platform::File> in =
      fs->Open(path, platform::OpenMode::kRead);
  if (!in) return false;
  int64_t copied = 0;
  if (digest == nullptr) {
    // One byte past the expected count shows a segment that grew.
    copied = out->CopyFrom(in.get(), expected + 1);
    if (copied < 0) return false;
  } else {
    std::string buffer(static_cast<size_t>(platform::kCopyBufferBytes), '\0');
    for (;;) {
      int64_t got = in->Read(&buffer[0], platform::kCopyBufferBytes);
      if (got < 0) return false;
      if (got == 0) break;
      digest->Update(buffer.data(), static_cast<size_t>(got));
      if (!out->Write(buffer.data(), got)) return false;
      copied += got;
    }
  }
  in->Close();
  return copied == expected;
}

}  // namespace

bool Downloader::SegmentsComplete() const {
  for (int i = 0; i < plan_.SegmentCount(); ++i) {
    if (env_->files->FileLength(plan_.SegmentFilePath(i)) !=
        plan_.SegmentBytes(i)) {
      return false;
    }
  }
  return true;
}

Outcome Downloader::JoinSegments() {
  error_ = platform::Status();
  if (!SegmentsComplete()) return Outcome::kIncomplete;
  platform::FileSystem* fs = env_->files;
  const std::string temporary = plan_.save_path + ".down.tmp";
  auto failed = [&](Outcome outcome, const std::string& path) {
    error_ = platform::Status::Error(platform::ErrorKind::kOther, path);
    return outcome;
  };

  std::unique_ptr<platform::Sha256> digest;
  if (!expected_sha256_.empty()) {
    // A digest that cannot be taken is no match, but says nothing against
    // the segments: they stay for the next run.
    if (env_->crypto != nullptr) digest = env_->crypto->NewSha256();
    if (!digest) return failed(Outcome::kCopyFailed, "SHA-256");
  }

  std::unique_ptr<platform::File> out =
      fs->Open(temporary, platform::OpenMode::kCreateTruncate);
  if (!out) return failed(Outcome::kCopyFailed, temporary);
  bool ok = true;
  for (int i = 0; i < plan_.SegmentCount() && ok; ++i) {
    ok = AppendFile(fs, plan_.SegmentFilePath(i), plan_.SegmentBytes(i),
                    digest.get(), out.get());
  }
  ok = out->Close() && ok;
  std::string sum;
  if (ok && digest) {
    sum = digest->Final();
    ok = !sum.empty();
  }
  if (!ok) {
    fs->RemoveFile(temporary);
    return failed(Outcome::kCopyFailed, temporary);
  }
  if (digest && sum != expected_sha256_) {
    fs->RemoveFile(temporary);
    RemovePartialFiles();
    return Outcome::kDigestMismatch;
  }
  if (!fs->RenameOver(temporary, plan_.save_path)) {
    fs->RemoveFile(temporary);
    return failed(Outcome::kReplaceFailed, plan_.save_path);
  }
  RemovePartialFiles();
  return Outcome::kOk;
}

void Downloader::RemovePartialFiles() {
  // The record goes first: a kill between the two steps then leaves
  // segment files without a plan, which the next run discards, instead of
  // a plan whose segments are gone, which it would fetch again.
  // One connection never writes an info file, so it leaves any it finds.
  if (plan_.ranged) env_->files->RemoveFile(plan_.info_file_path);
  for (int i = 0; i < plan_.SegmentCount(); ++i) {
    env_->files->RemoveFile(plan_.SegmentFilePath(i));
  }
}

platform::Status Downloader::RecordProgress() {
  if (!plan_.ranged) return platform::Status();
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t origin = OriginalStart(plan_.record.ranges, i);
    int64_t length = env_->files->FileLength(plan_.SegmentFilePath(i));
    if (length < 0) length = 0;
    if (length > plan_.SegmentBytes(i)) {
      // Cannot come from our workers; start the segment again.
      env_->files->RemoveFile(plan_.SegmentFilePath(i));
      length = 0;
    }
    plan_.record.ranges[i].start = static_cast<int32_t>(origin + length);
  }
  return WriteRecord(plan_.record);
}

platform::Status Downloader::SaveProgress() {
  if (!plan_.ranged) return platform::Status();
  // A copy: the workers own their ranges' starts while they run.
  ResumeRecord progress = plan_.record;
  for (int i = 0; i < kSegmentCount; ++i) {
    int64_t origin = OriginalStart(plan_.record.ranges, i);
    int64_t length = env_->files->FileLength(plan_.SegmentFilePath(i));
    if (length < 0) length = 0;
    int64_t start = origin + length;
    // The files only grow while the workers run, so a start read now never
    // runs ahead of its file; it never goes below the recorded one either.
    if (start > progress.ranges[i].start) {
      progress.ranges[i].start = static_cast<int32_t>(start);
    }
  }
  return WriteRecord(progress);
}

}  // namespace vorn
