// Errors as values: what was being done, to what, and the OS's reason.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace ostrel {

// The I/O operation that failed.
enum class Operation {
  open,              // opening the target file for reading and writing
  create_work_file,  // creating the anonymous work file
  read,
  write,
  rewind,
  close,
  reopen,  // opening the target file again, emptied, for writing
  save,    // giving the work file's content a lasting name
};

struct Error {
  Operation operation{};
  std::string path;  // the target's name, or the work file's directory
  bool in_work_file = false;
  int code = 0;  // the OS's error number (errno on POSIX)
};

// The OS's own wording for an error number.
std::string os_reason(int code);

// Success, or the first error that ended an operation.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return !error_.has_value(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace ostrel
