# 32-bit Windows; no emulator, so this build is only checked to compile and link.
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
