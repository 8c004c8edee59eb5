// Files on disk for the tests that run the built executable.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace ostrel {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Spaces, tabs, CR LF, LF, a line of spaces, Ctrl-Z, NUL and a last line
// without a line end, and what the rewrite makes of them.
inline const std::string kSample = [] {
  using namespace std::string_literals;
  return "  alpha\r\n\tbeta\n    \n \t gamma  \r\n  \x1a\0  x"s;
}();
inline const std::string kResult = [] {
  using namespace std::string_literals;
  return "alpha\r\n\tbeta\r\n\r\n\t gamma  \r\n\x1a\0  x"s;
}();

}  // namespace ostrel
