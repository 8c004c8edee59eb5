// The command line rule and the transcript of a run.
#pragma once

#include <span>
#include <string>

#include "streams/console.h"
#include "streams/file_system.h"

namespace ostrel {

// Exit statuses.
inline constexpr int EXIT_REWRITTEN = 0;
inline constexpr int EXIT_NOT_REWRITTEN = 1;
inline constexpr int EXIT_USAGE = 2;

// Runs the program on its arguments (the program's own name first) and
// returns the exit status. Messages go to out; those that tell of a failure
// go to err as well once out has failed, so that they reach the user.
int run_program(std::span<const std::string> args, FileSystem& file_system, Console& out,
                Console& err);

}  // namespace ostrel
