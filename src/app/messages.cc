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

std::string quoted(std::string_view text) {
  std::string result(1, '"');
  result += text;
  result += '"';
  return result;
}

std::string what_failed(const Error& error) {
  const std::string file =
      error.in_work_file ? "the work file in " + quoted(error.path) : quoted(error.path);
  switch (error.operation) {
    case Operation::open:
      return "Could not open " + file;
    case Operation::create_work_file:
      return "Could not create a work file in " + quoted(error.path);
    case Operation::read:
      return "Could not read " + file;
    case Operation::write:
      return "Could not write " + file;
    case Operation::rewind:
      return "Could not go back to the start of " + file;
    case Operation::close:
      return "Could not close " + file;
    case Operation::reopen:
      return "Could not open " + file + " again to write it";
    case Operation::save:
      return "Could not save it in " + quoted(error.path);
  }
  return "Could not work on " + file;
}

}  // namespace

std::string describe_failure(const RewriteResult& result) {
  std::string text = what_failed(result.error) + ": " + os_reason(result.error.code) + "\n";
  if (result.outcome != RewriteOutcome::failed_after_emptying) {
    return text + "The file was not changed.\n";
  }
  text += "The file was emptied and holds only part of its new text.\n";
  if (result.save_error) {
    return text + "Its complete new text could not be saved either. " +
           what_failed(*result.save_error) + ": " + os_reason(result.save_error->code) +
           "\nThe rest of the text is lost.\n";
  }
  return text + "Its complete new text was saved in " + quoted(result.saved_as) +
         ".\nCopy that file over it once the cause is fixed, before any restart.\n";
}

}  // namespace ostrel
