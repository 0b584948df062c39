// The update log: one dated line per message, appended by opening, writing
// and closing the file for every line, so each line is complete on disk when
// the call returns. A line the file cannot take (no log path yet, a missing
// directory, a full disk, another process holding it) goes to the
// platform's fallback (standard error on Linux, a log in the temporary
// directory on Windows), with a line that says why.
#include <string>

#include "platform/text.h"
#include "update/messages.h"
#include "update/outcome_lines.h"
#include "update/updater.h"

namespace vorn {

namespace {

// `message` as one line: line ends at its end dropped, every run of them
// inside it made one blank (a system's error text may hold some), so the
// log never gets a blank or a broken line.
std::string OneLine(const char* message) {
  std::string line(message);
  size_t end = line.find_last_not_of("\r\n");
  line.resize(end == std::string::npos ? 0 : end + 1);
  auto is_end = [](char c) { return c == '\r' || c == '\n'; };
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    if (!is_end(line[i])) {
      out.push_back(line[i]);
    } else if (i == 0 || !is_end(line[i - 1])) {
      out.push_back(' ');
    }
  }
  return out;
}

}  // namespace

void Updater::WriteLog(const char* message) {
  const std::string line = OneLine(message);
  if (line.empty()) return;
  platform::LocalFields now = env_->clock->LocalNow();
  // "%2d-%2d %2d:%2d  ": month, day, hour, minute, blank-padded; 13 bytes.
  const std::string prefix = FormatWidth2(now.month) + "-" +
                             FormatWidth2(now.day) + " " +
                             FormatWidth2(now.hour) + ":" +
                             FormatWidth2(now.minute) + "  ";
  platform::Status written = AppendToLog(prefix + line + "\r\n");
  if (written.ok()) return;
  // The log could not take the line (no directory yet, a full disk, a path
  // too long, another process holding it): it still reaches a person, with
  // why the log did not take it.
  env_->desktop->WriteLostLogLine(prefix + line);
  if (!log_path_.empty()) {
    env_->desktop->WriteLostLogLine(
        prefix + WithDetail(msg::kLogWriteFailed, written));
  }
}

platform::Status Updater::AppendToLog(const std::string& bytes) {
  if (log_path_.empty()) {
    return platform::Status::Error(platform::ErrorKind::kNotFound, "");
  }
  std::unique_ptr<platform::File> file;
  platform::Status status = env_->files->Open(
      log_path_, platform::OpenMode::kReadWriteExclusive, &file);
  if (!status.ok()) return status;
  status = file->SeekToEnd();
  // What reached the file stays; the next line is appended after it.
  if (status.ok()) {
    status = file->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  platform::Status closed = file->Close();
  return status.ok() ? closed : status;
}

}  // namespace vorn
