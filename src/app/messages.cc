#include "app/messages.h"

namespace ostrel {

std::string fill_placeholder(std::string_view format, std::string_view value) {
  const std::size_t at = format.find("%s");
  std::string text(format.substr(0, at));
  text += value;
  text += format.substr(at + 2);
  return text;
}

namespace {

std::string in_quotes(std::string_view text) {
  std::string result(1, '"');
  result += text;
  result += '"';
  return result;
}

std::string what_failed(const Error& error) {
  const std::string file = error.role == Role::work_file
                               ? "the work file in " + in_quotes(error.path)
                               : in_quotes(error.path);
  switch (error.operation) {
    case Operation::open:
      return "Could not open " + file;
    case Operation::lock:
      return "Could not lock " + file;
    case Operation::inspect:
      return "Could not look at " + file;
    case Operation::read:
      return "Could not read " + file;
    case Operation::write:
      return "Could not write " + file;
    case Operation::rewind:
      return "Could not go back to the start of " + file;
    case Operation::truncate:
      return "Could not empty " + file;
    case Operation::close:
      return "Could not close " + file;
    case Operation::create:
      if (error.role == Role::work_file)
        return "Could not create a work file in " + in_quotes(error.path);
      return "Could not create " + file;
    case Operation::name:
      return "Could not name the work file " + file;
    case Operation::remove:
      return "Could not remove " + file;
  }
  return "Could not work on " + file;
}

std::string with_reason(const Error& error) {
  return what_failed(error) + ": " + os_reason(error.code);
}

constexpr std::string_view kUnchanged = "The file was not changed.\n";

}  // namespace

std::string describe_ignored(const std::string& path, Distrust why, const Error& error) {
  std::string reason;
  switch (why) {
    case Distrust::unreadable:
      reason = with_reason(error);
      break;
    case Distrust::not_regular:
      reason = "it is not a regular file";
      break;
    case Distrust::foreign:
      reason =
          "it belongs to another user (if a run of theirs on this file did not finish, it may "
          "hold the file's complete text)";
      break;
    case Distrust::writable_by_others:
      reason = "others may write it";
      break;
    case Distrust::other_names:
      reason = "it has other names";
      break;
    case Distrust::open_directory:
      reason = "others may rename files into its directory";
      break;
    case Distrust::the_target:
      reason = "it is the file being rewritten";
      break;
  }
  return "Left " + in_quotes(path) + " alone, as it is no text this user saved: " + reason + ".\n";
}

std::string describe_failure(const RewriteResult& result) {
  switch (result.outcome) {
    case RewriteOutcome::done:
      return {};
    case RewriteOutcome::open_failed:
    case RewriteOutcome::failed_unchanged:
      return with_reason(result.error) + "\n" + std::string(kUnchanged);
    case RewriteOutcome::not_saved: {
      std::string text =
          "Could not keep the new text under a lasting name, so the file was not "
          "emptied:\n";
      for (const Error& error : result.save_errors) {
        text += "  " + in_quotes(error.path) + ": " + os_reason(error.code) + "\n";
      }
      return text + std::string(kUnchanged);
    }
    case RewriteOutcome::changed:
      return "The file was changed or replaced by another program while it was being "
             "rewritten.\nIt was left as that program left it.\n";
    case RewriteOutcome::saved_differs:
      return "An earlier run that did not finish saved this file's new text in " +
             in_quotes(result.saved_as) + ",\nbut the file has changed since. " +
             std::string(kUnchanged) + "Compare the two, keep what you need, and remove " +
             in_quotes(result.saved_as) + ".\n";
    case RewriteOutcome::saved_unsure:
      return "An earlier run that did not finish saved the new text of this file, or of a "
             "deleted file\nwith the same number, in " +
             in_quotes(result.saved_as) +
             ".\nThis file is empty, and its file system cannot tell which. " +
             std::string(kUnchanged) + "If that is this file's text, copy it over the file; " +
             "then remove " + in_quotes(result.saved_as) + ".\n";
    case RewriteOutcome::interrupted:
      return "Interrupted before the file was emptied. " + std::string(kUnchanged);
    case RewriteOutcome::failed_after_emptying:
      break;
  }
  std::string text = with_reason(result.error) + "\n";
  text += result.error.operation == Operation::truncate
              ? "The file may have been emptied.\n"
              : "The file was emptied and holds only part of its new text.\n";
  return text + "Its complete new text is saved in " + in_quotes(result.saved_as) +
         ".\nOnce the cause is fixed, run ostrel on the file again to finish, or copy that file "
         "over it;\ndo it before any restart, which may empty the temporary directory.\n";
}

}  // namespace ostrel
