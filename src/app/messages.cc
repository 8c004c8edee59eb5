#include "app/messages.h"

#include <iterator>

namespace ostrel {

std::string fill_placeholder(std::string_view format, std::string_view value) {
  std::string text(format);
  if (const std::size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, value);
  return text;
}

namespace {

std::string in_quotes(std::string_view text) { return '"' + std::string(text) + '"'; }

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
                                              "it is the file being rewritten",
                                              "it is in a directory others may change",
                                              "it was saved for a file this one is a copy of",
                                              "it does not carry this file's mark",
                                              "it is missing",
                                              "it was changed after it was saved"};
  static_assert(std::size(kWhy) == static_cast<std::size_t>(Distrust::altered) + 1);
  return std::string(kWhy[static_cast<int>(why)]);
}

}  // namespace

std::string describe_failure(const RewriteResult& result) {
  switch (result.outcome) {
    case RewriteOutcome::done:
    case RewriteOutcome::open_failed:  // told in the transcript's own words
      return {};
    case RewriteOutcome::failed_unchanged:
      return with_reason(result.error) + "\n" + std::string(kUnchanged);
    case RewriteOutcome::not_saved:
      return "Could not keep the new text under a lasting name, so the file was not emptied:\n  " +
             in_quotes(result.error.path) + ": " + os_reason(result.error.code) + "\n" +
             std::string(kUnchanged);
    case RewriteOutcome::changed_meanwhile:
      return "The file was changed or replaced by another program while it was being "
             "rewritten.\nIt was left as that program left it.\n";
    case RewriteOutcome::saved_differs:
      return "An earlier run that did not finish writing this file back kept its complete new text "
             "in\n" +
             in_quotes(result.saved_as) +
             ", but the file holds other bytes than the start of that text: another\n"
             "program changed it since, or a crash of the system left old blocks in it. " +
             std::string(kUnchanged) +
             (result.maybe_deleted_files
                  ? "That text may also be the only copy of a file that stood here before.\n"
                  : "") +
             "Compare the two and keep what you need (copy that text over the file to finish "
             "the\nrewrite); then remove " +
             in_quotes(result.saved_as) + ".\n";
    case RewriteOutcome::saved_unsure:
      return "An earlier run that did not finish writing back a file at this place kept its "
             "complete new\ntext in " +
             in_quotes(result.saved_as) +
             ". This file is empty (or holds only zero bytes) and carries\nno mark, so nothing "
             "tells whether it is that file or a new one. " +
             std::string(kUnchanged) +
             "If that text is this file's, copy it over the file; then "
             "remove " +
             in_quotes(result.saved_as) + ".\n";
    case RewriteOutcome::saved_unused:
      return "An earlier run that did not finish writing this file back kept its new text in\n" +
             in_quotes(result.saved_as) +
             ", but it was not used: " + distrusted(result.distrust, result.error) + ".\n" +
             std::string(kUnchanged) +
             "The file may hold only part of its text. If that text is whole and this file's, "
             "copy it\nover the file (or run ostrel as its owner). Once the file holds what you "
             "need, remove " +
             (result.maybe_deleted_files
                  ? std::string("that text")
                  : "the file's\nmark (Linux: setfattr -x user.ostrel.saved FILE; Windows "
                    "PowerShell: Remove-Item FILE\n-Stream ostrel.saved)") +
             ", then run ostrel again.\n";
    case RewriteOutcome::interrupted:
      return "Interrupted before the file was emptied. " + std::string(kUnchanged);
    case RewriteOutcome::failed_after_emptying:
    case RewriteOutcome::others_let_in:
      break;
  }
  std::string text;
  if (result.outcome == RewriteOutcome::others_let_in) {
    text =
        "Another program wrote to the file while it was written back, or was let in and may "
        "have;\nnothing more was written over that. The file holds part of its new text, and "
        "perhaps\nwhat that program wrote.\n";
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
