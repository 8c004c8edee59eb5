#include "streams/command_line.h"

namespace ostrel {

std::vector<std::string> command_line(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace ostrel
