#include "app/program.h"

#include "app/messages.h"
#include "rewrite/indent_removal.h"

namespace ostrel {

int run_program(std::span<const std::string> args, FileSystem& file_system, Console& console) {
  console.write(MSG_BANNER);
  if (args.size() < 2) {
    console.write(MSG_USAGE);
    console.write(MSG_EXPLAIN);
    return EXIT_USAGE;
  }
  // Only the first argument names a file; any others are ignored.
  const std::string& name = args[1];
  console.write(fill_placeholder(MSG_PROCESSING, name));

  bool copying_back = false;
  const RewriteResult result = run_indent_removal(file_system, name, [&] {
    console.write(MSG_COPYING_BACK);
    copying_back = true;
  });
  switch (result.outcome) {
    case RewriteOutcome::done:
      console.write(MSG_DONE);
      return EXIT_REWRITTEN;
    case RewriteOutcome::open_failed:
      console.write(MSG_OPEN_FAILED);
      return EXIT_NOT_REWRITTEN;
    case RewriteOutcome::failed_unchanged:
    case RewriteOutcome::failed_after_emptying:
      // End the line that the copying-back notice left open.
      if (copying_back) console.write("\n");
      console.write(describe_failure(result));
      return EXIT_NOT_REWRITTEN;
  }
  return EXIT_NOT_REWRITTEN;
}

}  // namespace ostrel
