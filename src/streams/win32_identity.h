// Which file the OS's information on a handle names, in the terms of the OS
// layer; for the Windows sources only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "streams/file_system.h"

namespace ostrel {

inline FileIdentity identity_from(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 0};
}

}  // namespace ostrel
