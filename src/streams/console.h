// Standard output, unbuffered: each text is handed to the OS in full before
// write() returns, so progress shows while the work it announces goes on,
// whether the output is a terminal, a pipe or a file.
#pragma once

#include <string_view>

namespace ostrel {

class Console {
 public:
  Console() = default;
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  virtual ~Console() = default;

  // A console that cannot be written (a closed pipe, say) must not stop the
  // rewrite of a file, so a failed write is dropped, never raised.
  virtual void write(std::string_view text) = 0;
};

Console& standard_output();

}  // namespace ostrel
