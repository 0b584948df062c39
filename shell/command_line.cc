#include "shell/command_line.h"

#include "platform/text.h"

namespace vorn {

bool SplitCommandLine(const std::string& line, UpdateParameters* out) {
  if (line.empty()) return false;
  int sep[6];
  int found = 0;
  int from = 0;
  while (found < 6) {
    int pos = Find(line, ";", from);
    if (pos < 0) break;
    sep[found++] = pos;
    from = pos + 1;
  }
  if (found < 5) return false;
  auto field = [&](int i) {  // between separator i-1 and i
    return Mid(line, sep[i - 1] + 1, sep[i] - sep[i - 1] - 1);
  };
  out->version_file_url = field(1);
  out->current_version = field(2);
  out->download_dir = field(3);
  out->package_name = field(4);
  if (found == 6) {
    out->execute = field(5) == "Execute";
    out->host_title = Mid(line, sep[5] + 1);
  } else {
    out->execute = false;
    out->host_title.clear();
  }
  return true;
}

}  // namespace vorn
