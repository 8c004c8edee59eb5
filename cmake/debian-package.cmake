# Installation and the .deb package on Linux: the executable, its manual
# page, and in share/doc/ostrel/ the license, Debian's machine-readable
# copyright file and the changelog (made from CHANGELOG.md by
# cmake/changelog.cmake), compressed as Debian wants them; and the build
# settings Debian asks of a package's executable.
install(TARGETS ostrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${OSTREL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/ostrel/ostrel")
# Depends is computed from the libraries the executable loads (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# The manual page carries the version from project().
configure_file(doc/ostrel.1.in ostrel.1 @ONLY)

# Debian's copyright file names the license and holds its text: every line
# of it indented by one space, an empty line written as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
file(READ LICENSE license_text)
string(FIND "${license_text}" "Permission is hereby granted" grant)
if(grant EQUAL -1)
  message(FATAL_ERROR "LICENSE: no MIT permission notice found")
endif()
string(SUBSTRING "${license_text}" ${grant} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " OSTREL_LICENSE_TEXT "${license_text}")
string(REGEX REPLACE "^Copyright \\([cC]\\) " "" OSTREL_COPYRIGHT_HOLDERS "${OSTREL_COPYRIGHT}")
configure_file(cmake/debian-copyright.in debian/copyright @ONLY)

set(compressed ${CMAKE_CURRENT_BINARY_DIR}/ostrel.1.gz ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
foreach(file IN LISTS compressed)
  string(REGEX REPLACE "\\.gz$" "" plain ${file})
  add_custom_command(OUTPUT ${file} COMMAND gzip -9n -c ${plain} > ${file} DEPENDS ${plain})
endforeach()
add_custom_target(compressed_documents ALL DEPENDS ${compressed})

install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The package leaves LICENSE out: its copyright file holds the same text.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_CURRENT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")

# Built as Debian builds its packages: checked string and memory functions,
# every symbol bound at start-up and the relocations then made read-only,
# and no compiler version notes in the executable.
if(NOT OSTREL_SANITIZE AND NOT OSTREL_FUZZ)
  target_compile_options(ostrel_core PUBLIC "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  target_link_options(ostrel PRIVATE -Wl,-z,relro -Wl,-z,now)
  add_custom_command(TARGET ostrel POST_BUILD
                     COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:ostrel>)
endif()

