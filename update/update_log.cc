// The update log: one dated line per message, appended by opening, writing
// and closing the file for every line, so each line is complete on disk when
// the call returns. A file that cannot be opened (an empty path, a missing
// directory, another process holding it) drops the message silently.
#include <cstring>

#include "platform/text.h"
#include "update/updater.h"

namespace vorn {

void Updater::WriteLog(const char* message) {
  if (log_path_.empty()) return;
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
  file->Write(message, static_cast<int64_t>(std::strlen(message)));
  file->Write("\r\n", 2);
  file->Close();
}

}  // namespace vorn
