#include "app/program.h"

#include <cerrno>
#include <filesystem>
#include <iterator>

#include "app/messages.h"
#include "rewrite/indent_removal.h"

namespace ostrel {

namespace {

// The code with which the OS layer refuses a name that is not a regular file
// on disk (and, on Linux, a file of the kernel's own file systems).
#ifdef _WIN32
constexpr int kNotAFileOnDisk = 1;  // ERROR_INVALID_FUNCTION
#else
constexpr int kNotAFileOnDisk = EINVAL;
#endif

// Why the name could not be opened, for the line on standard error. Which
// kind of file the name leads to tells the refusals apart: Windows denies
// access to a directory, and only a file of the kernel's own file systems is
// refused although it says it is regular.
std::string why_not_opened(const std::string& name, const Error& error) {
  if (name.empty()) return "The name is empty";
  using std::filesystem::file_type;
  std::error_code unknown;
  const file_type type = std::filesystem::status(path_from_utf8(name), unknown).type();
  if (type == file_type::directory) return "Is a directory";
  if (error.code != kNotAFileOnDisk) return os_reason(error.code);
  if (type == file_type::regular)
    return "A file of the kernel's own file systems (/proc, /sys, ...)";
  return "Not a regular file (a FIFO, a device or a socket)";
}

// The transcript on standard output, and its failures also on standard
// error when standard output could not be written.
class Transcript {
 public:
  Transcript(Console& out, Console& err) : out_(out), err_(err) {}

  // A failure, or a warning that must be seen, goes to err too once out has failed.
  void write(std::string_view text, bool failure = false) {
    out_failed_ = !out_.write(text) || out_failed_;
    if (failure && out_failed_) static_cast<void>(err_.write(text));
  }

 private:
  Console& out_;
  Console& err_;
  bool out_failed_ = false;
};

}  // namespace

int run_program(std::span<const std::string> args, FileSystem& file_system, Console& out,
                Console& err) {
  Transcript transcript(out, err);
  // Output that goes into the very file to be rewritten would change it
  // before it is read, and end up inside it: refuse, before a word is out.
  FileIdentity target;
  if (args.size() >= 2 && file_system.identity_of(path_from_utf8(args[1]), target).ok()) {
    const bool into_err = err.file() == target;
    if (into_err || out.file() == target) {
      if (!into_err) static_cast<void>(err.write(MSG_OUTPUT_IS_TARGET));
      return EXIT_NOT_REWRITTEN;
    }
  }
  transcript.write(MSG_BANNER);
  if (args.size() < 2) {
    transcript.write(MSG_USAGE);
    transcript.write(MSG_EXPLAIN);
    return EXIT_USAGE;
  }
  // Only the first argument names a file; any others are ignored.
  const std::string& name = args[1];
  transcript.write(fill_placeholder(MSG_PROCESSING, name));

  bool copying_back = false;
  int status = EXIT_NOT_REWRITTEN;
  RewriteEvents events;
  events.told = [&](Notice notice, const std::string& path) {
    // In the order of Notice.
    static constexpr std::string_view kTexts[] = {MSG_WAITING, MSG_KEPT_WHERE_RESTART_EMPTIES,
                                                  MSG_RESUMED, MSG_COPYING_BACK};
    static_assert(std::size(kTexts) == static_cast<std::size_t>(Notice::copying_back) + 1);
    const std::string text = fill_placeholder(kTexts[static_cast<int>(notice)], path);
    // A warning that the text may be lost must be seen.
    transcript.write(text, /*failure=*/notice == Notice::kept_where_restart_empties);
    copying_back = copying_back || notice == Notice::copying_back;
  };
  // Told while interrupts still wait: an interrupt that came during the
  // copy-back takes effect only once this is on record.
  events.report = [&](const RewriteResult& result) {
    switch (result.outcome) {
      case RewriteOutcome::done:
        transcript.write(MSG_DONE);
        status = EXIT_REWRITTEN;
        return;
      case RewriteOutcome::open_failed:
        transcript.write(MSG_OPEN_FAILED, /*failure=*/true);
        static_cast<void>(
            err.write("ostrel: " + name + ": " + why_not_opened(name, result.error) + "\n"));
        return;
      default:
        // End the line that the copying-back notice left open.
        if (copying_back) transcript.write("\n");
        transcript.write(describe_failure(result), /*failure=*/true);
        return;
    }
  };
  run_indent_removal(file_system, name, events);
  return status;
}

}  // namespace ostrel
