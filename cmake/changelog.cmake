# Reads CHANGELOG.md, checks that its newest entry is PROJECT_VERSION, and
# writes the same entries in Debian's changelog format to
# ${CMAKE_BINARY_DIR}/debian/changelog for the package.
#
# CHANGELOG.md holds one "## VERSION - DATE" heading per release (DATE is
# YYYY-MM-DD, or "unreleased" until the release is out), each followed by
# bullets: "- text", continued on lines indented by two spaces.
#
# Needs OSTREL_MAINTAINER ("Name <address>") set before it is included.

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md changelog_text)
# One list element per line; characters that CMake's lists treat specially
# are swapped for control characters and put back on output.
string(ASCII 1 semicolon)
string(ASCII 2 open)
string(ASCII 3 close)
string(REPLACE ";" "${semicolon}" changelog_text "${changelog_text}")
string(REPLACE "[" "${open}" changelog_text "${changelog_text}")
string(REPLACE "]" "${close}" changelog_text "${changelog_text}")
string(REPLACE "\n" ";" changelog_lines "${changelog_text}")

function(ostrel_changelog_error line why)
  string(REPLACE "${semicolon}" ";" line "${line}")
  string(REPLACE "${open}" "[" line "${line}")
  string(REPLACE "${close}" "]" line "${line}")
  message(FATAL_ERROR "CHANGELOG.md: \"${line}\": ${why}")
endfunction()

# Day of the week of a Gregorian date, by Zeller's congruence.
function(ostrel_weekday year month day out)
  if(month LESS 3)
    math(EXPR month "${month} + 12")
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR h "(${day} + (13 * (${month} + 1)) / 5 + ${year} % 100 + (${year} % 100) / 4 \
               + (${year} / 100) / 4 + 5 * (${year} / 100)) % 7")
  set(names Sat Sun Mon Tue Wed Thu Fri)
  list(GET names ${h} name)
  set(${out} ${name} PARENT_SCOPE)
endfunction()

set(debian_changelog "")
set(newest_version "")
set(entry_trailer "")
set(in_entry FALSE)
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) - (.*)$")
    set(version ${CMAKE_MATCH_1})
    set(date ${CMAKE_MATCH_2})
    if(newest_version STREQUAL "")
      set(newest_version ${version})
    endif()
    if(date STREQUAL "unreleased")
      set(distribution UNRELEASED)
      # The build's own time, or SOURCE_DATE_EPOCH when it is set.
      string(TIMESTAMP stamp "%a, %d %b %Y %H:%M:%S +0000" UTC)
    elseif(date MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
      set(distribution unstable)
      set(year ${CMAKE_MATCH_1})
      # Without leading zeros, which math() would read as octal.
      math(EXPR month "1${CMAKE_MATCH_2} - 100")
      math(EXPR day "1${CMAKE_MATCH_3} - 100")
      ostrel_weekday(${year} ${month} ${day} weekday)
      math(EXPR month_index "${month} - 1")
      set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
      list(GET month_names ${month_index} month_name)
      set(stamp "${weekday}, ${CMAKE_MATCH_3} ${month_name} ${year} 00:00:00 +0000")
    else()
      ostrel_changelog_error("${line}" "the date is neither YYYY-MM-DD nor unreleased")
    endif()
    string(APPEND debian_changelog "${entry_trailer}"
           "${PROJECT_NAME} (${version}) ${distribution}; urgency=medium\n\n")
    set(entry_trailer "\n -- ${OSTREL_MAINTAINER}  ${stamp}\n\n")
    set(in_entry TRUE)
  elseif(line MATCHES "^#")
    set(in_entry FALSE)
  elseif(in_entry AND NOT line STREQUAL "")
    # Markdown's code quotes mean nothing in a plain-text changelog.
    string(REPLACE "`" "" text "${line}")
    if(text MATCHES "^- (.*)$")
      set(text "  * ${CMAKE_MATCH_1}")
    elseif(text MATCHES "^  (.*)$")
      set(text "    ${CMAKE_MATCH_1}")
    else()
      ostrel_changelog_error("${line}" "only bullets go under a version")
    endif()
    string(LENGTH "${text}" length)
    if(length GREATER 80)
      ostrel_changelog_error("${line}" "longer than 78 characters")
    endif()
    string(APPEND debian_changelog "${text}\n")
  endif()
endforeach()
string(APPEND debian_changelog "${entry_trailer}")
string(STRIP "${debian_changelog}" debian_changelog)
string(REPLACE "${semicolon}" ";" debian_changelog "${debian_changelog}")
string(REPLACE "${open}" "[" debian_changelog "${debian_changelog}")
string(REPLACE "${close}" "]" debian_changelog "${debian_changelog}")

if(NOT newest_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md: the newest entry is \"${newest_version}\", but the project's "
                      "version is ${PROJECT_VERSION}: add an entry \"## ${PROJECT_VERSION} - unreleased\"")
endif()
# Written only when it changes, so that an unchanged changelog is not packed again.
file(WRITE ${CMAKE_BINARY_DIR}/debian/changelog.new "${debian_changelog}\n")
configure_file(${CMAKE_BINARY_DIR}/debian/changelog.new ${CMAKE_BINARY_DIR}/debian/changelog COPYONLY)
