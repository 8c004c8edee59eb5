#include <windows.h>

#include <algorithm>
#include <string>
#include <type_traits>

#include "streams/console.h"
#include "streams/win32_identity.h"
#include "streams/win32_text.h"

namespace ostrel {

namespace {

// Writes all of text to out, at most chunk units at a time: UTF-16 units
// through the console's wide API, bytes as to a file. False when a write
// fails or writes nothing.
template <typename Char>
bool write_all(HANDLE out, std::basic_string_view<Char> text, std::size_t chunk) {
  for (DWORD written = 0; !text.empty(); text.remove_prefix(written)) {
    const auto count = static_cast<DWORD>(std::min(text.size(), chunk));
    const BOOL done = std::is_same_v<Char, wchar_t>
                          ? WriteConsoleW(out, text.data(), count, &written, nullptr)
                          : WriteFile(out, text.data(), count, &written, nullptr);
    if (!done || written == 0) return false;
  }
  return true;
}

// Writes as a Windows console program does: line ends as CR LF, on a
// console through the wide API so that every character shows, elsewhere
// (a file, a pipe) as UTF-8.
class Win32Console final : public Console {
 public:
  explicit Win32Console(DWORD which) : which_(which) {}

  bool write(std::string_view text) override {
    std::string lines;
    for (const char c : text) {
      if (c == '\n') lines += '\r';
      lines += c;
    }
    HANDLE out = GetStdHandle(which_);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) return write_all<wchar_t>(out, to_wide(lines), 16384);
    return write_all<char>(out, lines, 1 << 20);
  }

  std::optional<FileIdentity> file() const override {
    HANDLE out = GetStdHandle(which_);
    return GetFileType(out) == FILE_TYPE_DISK ? identity_by_handle(out) : std::nullopt;
  }

 private:
  DWORD which_;
};

}  // namespace

Console& standard_output() {
  static Win32Console console(STD_OUTPUT_HANDLE);
  return console;
}

Console& standard_error() {
  static Win32Console console(STD_ERROR_HANDLE);
  return console;
}

}  // namespace ostrel
