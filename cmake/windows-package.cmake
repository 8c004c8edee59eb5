# Installation and the .zip package on Windows: ostrel.exe, and the README
# and the license as text files with Windows line ends, for Notepad and
# friends.
install(TARGETS ostrel RUNTIME DESTINATION .)
foreach(document README.md:README.txt LICENSE:LICENSE.txt)
  string(REPLACE ":" ";" names ${document})
  list(GET names 0 source)
  list(GET names 1 target)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target} "${text}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target} DESTINATION .)
endforeach()
# ostrel.exe has the MinGW-w64 runtime and its winpthreads linked in, whose
# licenses ask that their notices go with the program: the copyright record
# of the MinGW-w64 that built it goes into the package.
set(mingw_copyright /usr/share/doc/mingw-w64-common/copyright)
if(NOT EXISTS ${mingw_copyright})
  message(FATAL_ERROR "${mingw_copyright} is missing: the package needs the MinGW-w64 notices")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mingw_copyright})
file(READ ${mingw_copyright} text)
string(REPLACE "\n" "\r\n" text
       "ostrel.exe includes parts of the MinGW-w64 runtime libraries and of winpthreads, linked in.\n"
       "Their copyright and license terms, as the MinGW-w64 package of Debian records them, follow.\n\n"
       "${text}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt "${text}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
