// The rewrite's rules written the plain way, for tests to compare against:
// the byte-order mark gives the width and byte order of a code unit (one
// byte without a mark); CR LF is a line end, every line loses the space
// units it starts with, every line end is written as CR LF, and the mark
// and the bytes of an incomplete last unit are kept. The first line keeps
// its spaces where the file would start with another mark without them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace ostrel {

inline std::string reference_rewrite(std::string_view input) {
  using namespace std::string_view_literals;
  // The width, mark size and byte order the start of text announces.
  const auto encoding = [](std::string_view text) {
    if (text.starts_with("\xff\xfe\0\0"sv)) return std::tuple(4, 4, false);
    if (text.starts_with("\0\0\xfe\xff"sv)) return std::tuple(4, 4, true);
    if (text.starts_with("\xff\xfe"sv)) return std::tuple(2, 2, false);
    if (text.starts_with("\xfe\xff"sv)) return std::tuple(2, 2, true);
    if (text.starts_with("\xef\xbb\xbf"sv)) return std::tuple(1, 3, false);
    return std::tuple(1, 0, false);
  };
  const auto [w, m, order] = encoding(input);
  const auto width = static_cast<std::size_t>(w);
  const auto mark = static_cast<std::size_t>(m);
  const bool big_endian = order;
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

  // The first line keeps its spaces if the file would start with another
  // mark without them.
  std::size_t spaces = 0;
  while (spaces < units.size() && units[spaces] == ' ') ++spaces;
  const std::string without =
      std::string(input.substr(0, mark)) + std::string(input.substr(mark + spaces * width));
  bool line_start = spaces == 0 || encoding(without) == encoding(input);
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
