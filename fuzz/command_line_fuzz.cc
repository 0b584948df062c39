// SplitCommandLine on arbitrary bytes: no crash, and an accepted line is
// its fields joined again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "shell/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  vorn::UpdateParameters p;
  size_t separators = 0;
  for (char c : line) separators += c == ';';
  const bool ok = vorn::SplitCommandLine(line, &p);
  if (ok != (separators >= 5)) __builtin_trap();
  if (!ok) return 0;
  for (const std::string* field : {&p.version_file_url, &p.current_version,
                                   &p.download_dir, &p.package_name}) {
    if (field->find(';') != std::string::npos) __builtin_trap();
  }
  // The program's path, the fields and the title rebuild the line.
  const std::string head = line.substr(0, line.find(';'));
  std::string rebuilt = head + ";" + p.version_file_url + ";" +
                        p.current_version + ";" + p.download_dir + ";" +
                        p.package_name + ";";
  if (line.compare(0, rebuilt.size(), rebuilt) != 0) __builtin_trap();
  if (separators == 5) {
    if (!p.host_title.empty() || p.execute) __builtin_trap();
  } else {
    // The title is everything after the sixth ';'.
    const size_t sixth = line.find(';', rebuilt.size());
    if (p.host_title != line.substr(sixth + 1)) __builtin_trap();
    if (p.execute !=
        (line.find(";Execute;", rebuilt.size() - 1) == rebuilt.size() - 1)) {
      __builtin_trap();
    }
  }
  return 0;
}
