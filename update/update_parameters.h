// The six fields of the command line, as the update run takes them.
#ifndef VORN_UPDATE_UPDATE_PARAMETERS_H_
#define VORN_UPDATE_UPDATE_PARAMETERS_H_

#include <string>

namespace vorn {

struct UpdateParameters {
  std::string version_file_url;  // field 1
  std::string current_version;   // field 2
  std::string download_dir;      // field 3
  std::string package_name;      // field 4
  bool execute = false;          // field 5 is exactly "Execute"
  std::string host_title;        // field 6: the rest, ';' included
};

}  // namespace vorn

#endif  // VORN_UPDATE_UPDATE_PARAMETERS_H_
