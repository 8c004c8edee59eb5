// The rewrite's rules written the plain way, for tests to compare against:
// the byte-order mark gives the width and byte order of a code unit (one
// byte without a mark); CR LF is a line end, every line loses the space
// units it starts with, every line end is written as CR LF, and the mark
// and the bytes of an incomplete last unit are kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

inline std::string reference_rewrite(std::string_view input) {
  using namespace std::string_view_literals;
  std::size_t width = 1;
  std::size_t mark = 0;
  bool big_endian = false;
  if (input.starts_with("\xff\xfe\0\0"sv)) {
    width = mark = 4;
  } else if (input.starts_with("\0\0\xfe\xff"sv)) {
    width = mark = 4;
    big_endian = true;
  } else if (input.starts_with("\xff\xfe"sv)) {
    width = mark = 2;
  } else if (input.starts_with("\xfe\xff"sv)) {
    width = mark = 2;
    big_endian = true;
  } else if (input.starts_with("\xef\xbb\xbf"sv)) {
    mark = 3;
  }
  std::vector<std::uint32_t> units;
  units.reserve(input.size() / width);
  std::size_t i = mark;
  for (; i + width <= input.size(); i += width) {
    std::uint32_t unit = 0;
    for (std::size_t b = 0; b < width; ++b) {
      const auto byte = static_cast<unsigned char>(input[i + (big_endian ? b : width - 1 - b)]);
      unit = unit << 8 | byte;
    }
    units.push_back(unit);
  }
  std::string output(input.substr(0, mark));
  const auto spell = [&](std::uint32_t unit) {
    for (std::size_t b = 0; b < width; ++b) {
      output += static_cast<char>(unit >> (8 * (big_endian ? width - 1 - b : b)) & 0xff);
    }
  };

  bool line_start = true;
  for (std::size_t u = 0; u < units.size(); ++u) {
    if (units[u] == '\r' && u + 1 < units.size() && units[u + 1] == '\n') continue;
    if (line_start && units[u] == ' ') continue;
    line_start = units[u] == '\n';
    if (line_start) spell('\r');
    spell(units[u]);
  }
  return output + std::string(input.substr(i));
}

}  // namespace ostrel
