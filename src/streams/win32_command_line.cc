#include <windows.h>
// (shellapi.h needs windows.h first)
#include <shellapi.h>

#include "streams/command_line.h"
#include "streams/win32_text.h"

namespace ostrel {

// Each in one call, into room for the longest result: a UTF-8 byte makes at
// most one UTF-16 unit, and a UTF-16 unit at most three UTF-8 bytes. Empty
// text is never passed on: the call would fail and change GetLastError(),
// which callers may not have read yet.
std::wstring to_wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), size)));
  return wide;
}

std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  std::string narrow(text.size() * 3, '\0');
  narrow.resize(static_cast<std::size_t>(WideCharToMultiByte(
      CP_UTF8, 0, text.data(), size, narrow.data(), size * 3, nullptr, nullptr)));
  return narrow;
}

std::vector<std::string> command_line(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(to_utf8(wide[i]));
  LocalFree(static_cast<HLOCAL>(wide));
  return args;
}

}  // namespace ostrel
