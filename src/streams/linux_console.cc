#include <unistd.h>

#include <cerrno>

#include "streams/console.h"
#include "streams/linux_stat.h"

namespace ostrel {

namespace {

class PosixConsole final : public Console {
 public:
  explicit PosixConsole(int fd) : fd_(fd) {}

  bool write(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t n = ::write(fd_, text.data(), text.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

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
