// Conversions between UTF-8, which the program works in, and the UTF-16 of
// the Windows API.
#pragma once

#include <string>
#include <string_view>

namespace ostrel {

std::wstring to_wide(std::string_view text);
std::string to_utf8(std::wstring_view text);

}  // namespace ostrel
