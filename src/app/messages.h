// Every text the program writes to standard output.
#pragma once

#include <string>
#include <string_view>

#include "rewrite/indent_removal.h"

namespace ostrel {

inline constexpr std::string_view MSG_BANNER =
    "\n"
    "ostrel " OSTREL_VERSION
    " - removes the space indentation from every line of a text file\n"
    "Tabs stay; the file is rewritten in place, with CR LF line ends.\n"
    "Download updates from https://github.com/ostrel/ostrel/releases\n"
    "\n";
inline constexpr std::string_view MSG_USAGE = "Usage: ostrel filename\n\n";
inline constexpr std::string_view MSG_EXPLAIN =
    "The program will then go through the text file line by line and eliminate all\n"
    "leading indent spaces (NOT tab indents) from each line.\n";
inline constexpr std::string_view MSG_PROCESSING = "Processing \"%s\" ...\n";
inline constexpr std::string_view MSG_OPEN_FAILED = "Could not open file\n";
inline constexpr std::string_view MSG_COPYING_BACK =
    "Temporary file generated. Copying back over original...";
inline constexpr std::string_view MSG_DONE = "\nDone!\n";
inline constexpr std::string_view MSG_WAITING =
    "Another program is using this file; waiting for it to finish...\n";
inline constexpr std::string_view MSG_KEPT_WHERE_RESTART_EMPTIES =
    "Warning: the new text is kept in \"%s\" while the file is written back, and a restart\n"
    "empties that place: no place that outlives one would take it. A power cut or a crash of\n"
    "the system before this run ends may lose the file's text.\n";
inline constexpr std::string_view MSG_RESUMED =
    "Finished writing back the new text that an earlier run left unfinished in \"%s\".\n";
inline constexpr std::string_view MSG_OUTPUT_IS_TARGET =
    "ostrel: the output goes into the file to be rewritten; the file was not changed.\n";

// format with its one "%s" replaced by value, taken literally.
std::string fill_placeholder(std::string_view format, std::string_view value);

// What went wrong, with the OS's reason, and the state the file is left in;
// empty for a run that was done or whose file could not be opened.
std::string describe_failure(const RewriteResult& result);

}  // namespace ostrel
