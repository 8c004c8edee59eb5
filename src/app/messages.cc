#include "app/messages.h"

#include <iterator>

namespace ostrel {

std::string fill_placeholder(std::string_view format, std::string_view value) {
  const std::size_t at = format.find("%s");
  if (at == std::string_view::npos) return std::string(format);
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
  if (error.work_file && error.operation == Operation::create) {
    return "Could not create a work file in " + in_quotes(error.path);
  }
  // What could not be done to a file, in the order of Operation.
  // clang-format off
  static constexpr std::string_view kDeeds[] = {
      "open", "lock", "look at", "read", "write", "go back to the start of", "empty", "close",
      "create", "name the work file", "remove", "force", "mark", "list"};
  // clang-format on
  static_assert(std::size(kDeeds) == static_cast<std::size_t>(Operation::list) + 1);
  std::string text = "Could not ";
  text += kDeeds[static_cast<int>(error.operation)];
  text += error.work_file ? " the work file in " : " ";
  text += in_quotes(error.path);
  if (error.operation == Operation::sync) text += " to disk";
  return text;
}

std::string with_reason(const Error& error) {
  return what_failed(error) + ": " + os_reason(error.code);
}

constexpr std::string_view kUnchanged = "The file was not changed.\n";

// Why a file where an earlier run's new text would be was not used.
std::string distrusted(Distrust why, const Error& error) {
  if (why == Distrust::unreadable) return with_reason(error);
  // In the order of Distrust.
  static constexpr std::string_view kWhy[] = {"",
                                              "it is not a regular file",
                                              "it is owned by another user",
                                              "others may write it",
                                              "it has other names",
                                              "it is in a directory where others may rename files",
                                              "it is the file being rewritten"};
  static_assert(std::size(kWhy) == static_cast<std::size_t>(Distrust::the_target) + 1);
  return std::string(kWhy[static_cast<int>(why)]);
}

}  // namespace

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
      if (result.maybe_deleted_files) {
        return "An earlier run that did not finish saved the new text of this file, or of a "
               "deleted file\nwith the same number, in " +
               in_quotes(result.saved_as) + ", and this file differs from it. " +
               std::string(kUnchanged) + "If that text is not this file's, remove " +
               in_quotes(result.saved_as) +
               ";\nif it is, compare the two, keep what you need, and then remove it.\n";
      }
      return "An earlier run that did not finish saved this file's new text in " +
             in_quotes(result.saved_as) + ",\nbut the file has changed since. " +
             std::string(kUnchanged) + "Compare the two, keep what you need, and remove " +
             in_quotes(result.saved_as) + ".\n";
    case RewriteOutcome::saved_unused:
      return "An earlier run that did not finish may have saved this file's new text in " +
             in_quotes(result.saved_as) +
             ",\nbut it was not used: " + distrusted(result.distrust, result.error) + ".\n" +
             std::string(kUnchanged) +
             "It may be incomplete. If that file holds this file's text, copy it over the "
             "file\n(or run ostrel as its owner); if not, remove it. Then run ostrel again.\n";
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
    case RewriteOutcome::others_let_in:
      break;
  }
  std::string text;
  if (result.outcome == RewriteOutcome::others_let_in) {
    text =
        "Another program was let into the file while it was written back, and may have "
        "written to it;\nthe write-back stopped so as not to write over that. The file holds "
        "part of its new text,\nand perhaps what that program wrote.\n";
  } else {
    text = with_reason(result.error) + "\n";
    text += result.error.operation == Operation::truncate
                ? "The file may have been emptied.\n"
                : "The file was emptied and holds only part of its new text.\n";
  }
  return text + "Its complete new text is saved in " + in_quotes(result.saved_as) +
         ".\nOnce the cause is fixed, run ostrel on the file again to finish, or copy that file "
         "over it.\n";
}

}  // namespace ostrel
