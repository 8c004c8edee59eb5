// The command line as UTF-8 strings, the program's own name first.
#pragma once

#include <string>
#include <vector>

namespace ostrel {

// On POSIX the arguments as given. On Windows they are read again from the
// wide command line, so that names outside the ANSI code page survive.
std::vector<std::string> command_line(int argc, char** argv);

}  // namespace ostrel
