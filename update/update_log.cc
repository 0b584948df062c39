// The update log: one dated line per message, appended by opening, writing
// and closing the file for every line, so each line is complete on disk when
// the call returns. A file that cannot be opened (an empty path, a missing
// directory, another process holding it) drops the message silently.
#include <string>

#include "platform/text.h"
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
  if (log_path_.empty()) return;
  const std::string line = OneLine(message);
  if (line.empty()) return;
  std::unique_ptr<platform::File> file =
      env_->files->Open(log_path_, platform::OpenMode::kReadWriteExclusive);
  if (!file) return;
  platform::LocalFields now = env_->clock->LocalNow();
  // "%2d-%2d %2d:%2d  ": month, day, hour, minute, blank-padded; 13 bytes.
  std::string prefix = FormatWidth2(now.month) + "-" + FormatWidth2(now.day) +
                       " " + FormatWidth2(now.hour) + ":" +
                       FormatWidth2(now.minute) + "  ";
  // Write results are not examined: whatever reached the file stays, and the
  // next line is appended after it.
  file->SeekToEnd();
  file->Write(prefix.data(), static_cast<int64_t>(prefix.size()));
  file->Write(line.data(), static_cast<int64_t>(line.size()));
  file->Write("\r\n", 2);
  file->Close();
}

}  // namespace vorn
