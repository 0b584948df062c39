// The command line: the program's path, then six fields separated by ';'.
#ifndef VORN_SHELL_COMMAND_LINE_H_
#define VORN_SHELL_COMMAND_LINE_H_

#include <string>

#include "update/update_parameters.h"

namespace vorn {

// Splits the raw command line at ';'. False when it is empty or holds
// fewer than five ';' (no update run then). Fields are taken byte for
// byte. With exactly five ';' there is no field 6: the execute flag is
// false and the title is empty, which the update run then refuses.
bool SplitCommandLine(const std::string& line, UpdateParameters* out);

}  // namespace vorn

#endif  // VORN_SHELL_COMMAND_LINE_H_
