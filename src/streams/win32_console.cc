#include <windows.h>

#include <string>

#include "streams/console.h"
#include "streams/win32_identity.h"
#include "streams/win32_text.h"

namespace ostrel {

namespace {

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
    if (GetConsoleMode(out, &mode)) {
      const std::wstring wide = to_wide(lines);
      std::wstring_view rest = wide;
      while (!rest.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 16384));
        if (!WriteConsoleW(out, rest.data(), chunk, &written, nullptr) || written == 0)
          return false;
        rest.remove_prefix(written);
      }
      return true;
    }
    std::string_view rest = lines;
    while (!rest.empty()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1 << 20));
      if (!WriteFile(out, rest.data(), chunk, &written, nullptr) || written == 0) return false;
      rest.remove_prefix(written);
    }
    return true;
  }

  std::optional<FileIdentity> file() const override {
    HANDLE out = GetStdHandle(which_);
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(out) != FILE_TYPE_DISK || !GetFileInformationByHandle(out, &info)) {
      return std::nullopt;
    }
    return identity_from(info);
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
