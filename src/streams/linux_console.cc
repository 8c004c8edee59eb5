#include <unistd.h>

#include "streams/console.h"
#include "streams/linux_stat.h"

namespace ostrel {

namespace {

class PosixConsole final : public Console {
 public:
  explicit PosixConsole(int fd) : fd_(fd) {}

  bool write(std::string_view text) override { return write_all(fd_, text); }

  std::optional<FileIdentity> file() const override {
    FileState state;
    if (!inspect(fd_, "", 0, state) || !state.regular) return std::nullopt;
    return state.identity;
  }

 private:
  int fd_;
};

}  // namespace

Console& standard_output() {
  static PosixConsole console(STDOUT_FILENO);
  return console;
}

Console& standard_error() {
  static PosixConsole console(STDERR_FILENO);
  return console;
}

}  // namespace ostrel
