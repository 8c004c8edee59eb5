// Which file the OS's information on a handle names, in the terms of the OS
// layer; for the Windows sources only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "streams/file_system.h"

namespace ostrel {

inline FileIdentity identity_from(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 0};
}

// Which file handle is open on; none when the OS does not say.
inline std::optional<FileIdentity> identity_by_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return identity_from(info);
}

}  // namespace ostrel
