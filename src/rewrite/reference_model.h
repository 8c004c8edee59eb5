// The rewrite's rules written the plain way, for tests to compare against:
// CR LF is a line end, every line loses the spaces it starts with, and every
// line end is written as CR LF.
#pragma once

#include <string>
#include <string_view>

namespace ostrel {

inline std::string reference_rewrite(std::string_view input) {
  std::string output;
  bool line_start = true;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const char c = input[i];
    if (c == '\r' && i + 1 < input.size() && input[i + 1] == '\n') continue;
    if (line_start && c == ' ') continue;
    line_start = c == '\n';
    output += line_start ? "\r\n" : std::string(1, c);
  }
  return output;
}

}  // namespace ostrel
