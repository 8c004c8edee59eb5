// Errors as values: what was being done, to which file, and the OS's reason.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace ostrel {

// The I/O operation that failed.
enum class Operation {
  open,     // opening an existing file
  lock,     // taking the lock that keeps other runs off the file
  inspect,  // reading a file's identity, size and times
  read,
  write,
  rewind,
  truncate,  // emptying an open file
  close,
  create,  // creating a new file: the work file or a copy of it
  name,    // giving the nameless work file a name
  remove,  // removing a name
  sync,    // forcing a file or a directory to stable storage
  mark,    // setting or reading the mark a file carries
  list,    // listing a directory
};

struct Error {
  Operation operation{};
  std::string path;        // UTF-8: the file's name, or the nameless work file's directory
  int code = 0;            // the OS's error number (errno, or GetLastError() on Windows)
  bool work_file = false;  // it concerns the nameless work file, or the making of one
};

// The OS's own wording for an error number.
std::string os_reason(int code);

// The OS's error number for a permission refused.
extern const int kPermissionDenied;
// Whether an error number says that a file system has no room left for a
// file: full, over a quota, or past a size limit.
bool out_of_room(int code);

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
