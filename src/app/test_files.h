// Files on disk for the tests that run the built executable.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace ostrel {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return bytes;
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// text with every LF made CR LF, as the program's messages reach a file on
// Windows.
inline std::string crlf(std::string_view text) {
  std::string lines;
  for (const char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return lines;
}

// Indented lines, long enough that a run takes a while.
inline std::string indented(std::size_t bytes) {
  std::string text;
  text.reserve(bytes + 16);
  for (int i = 0; text.size() < bytes; ++i) {
    text.append(static_cast<std::size_t>(i % 7), ' ');
    text += "line ";
    text += std::to_string(i);
    text += '\n';
  }
  return text;
}

#ifdef _WIN32
// The ostrel.exe built beside the running test program.
inline std::filesystem::path ostrel_exe() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path() / L"ostrel.exe";
}
#endif

// Points the temporary directory of this process, and of the programs it
// starts, at dir.
inline void set_temp_directory(const std::filesystem::path& dir) {
#ifdef _WIN32
  SetEnvironmentVariableW(L"TMP", dir.c_str());
  SetEnvironmentVariableW(L"TEMP", dir.c_str());
#else
  ::setenv("TMPDIR", dir.c_str(), 1);
#endif
}

// A new, empty directory called name in the temporary directory the tests
// started with, holding an empty "tmp" that the temporary directory now
// points at: work files go there, and must be gone after every run.
inline std::filesystem::path fresh_test_directory(const std::string& name) {
  static const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::filesystem::path dir = base / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "tmp");
  set_temp_directory(dir / "tmp");
  return dir;
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
