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
  int status = EXIT_NOT_REWRITTEN;
  switch (result.outcome) {
    case RewriteOutcome::done:
      console.write(MSG_DONE);
      status = EXIT_REWRITTEN;
      break;
    case RewriteOutcome::open_failed:
      console.write(MSG_OPEN_FAILED);
      break;
    case RewriteOutcome::failed_unchanged:
    case RewriteOutcome::failed_after_emptying:
      // End the line that the copying-back notice left open.
      if (copying_back) console.write("\n");
      console.write(describe_failure(result));
      break;
  }
  // The outcome is on record; an interrupt that came during the copy-back
  // may now end the process.
  file_system.release_interrupts();
  return status;
}

}  // namespace ostrel
