#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "streams/console.h"

namespace ostrel {

namespace {

class PosixConsole final : public Console {
 public:
  PosixConsole() {
    // A reader that goes away must not kill the process in the middle of a
    // rewrite; the failed write is reported as EPIPE instead, and ignored.
    // Should that fail, the default action stays; there is nothing better.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  }

  void write(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
  }
};

}  // namespace

Console& standard_output() {
  static PosixConsole console;
  return console;
}

}  // namespace ostrel
