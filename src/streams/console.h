// Standard output and standard error, unbuffered: each text is handed to
// the OS in full before write() returns, so progress shows while the work
// it announces goes on, whether the output is a terminal, a pipe or a file.
#pragma once

#include <optional>
#include <string_view>

#include "streams/file_system.h"

namespace ostrel {

class Console {
 public:
  Console() = default;
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  virtual ~Console() = default;

  // Writes all of text, or returns false. A console that cannot be written
  // (a closed pipe, a full disk) must not stop the rewrite of a file, so
  // the failure is returned, never raised.
  virtual bool write(std::string_view text) = 0;
  // Which file the text goes into, when it goes into a file on disk.
  virtual std::optional<FileIdentity> file() const { return std::nullopt; }
};

Console& standard_output();
Console& standard_error();

}  // namespace ostrel
