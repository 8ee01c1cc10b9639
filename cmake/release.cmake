# Release metadata made from the one version number, project(VERSION):
# the release date from CHANGELOG.md, the man page with both, and for the
# Debian package its changelog and machine-readable copyright file.

# CHANGELOG.md must have a section "## <version> - <YYYY-MM-DD>". An edit
# of it configures the build again, so that what is made from it follows.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md ipwhere_changelog)
string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
if(NOT ipwhere_changelog MATCHES
   "\n## ${version_pattern} - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\n")
  message(FATAL_ERROR
    "CHANGELOG.md has no section \"## ${PROJECT_VERSION} - YYYY-MM-DD\"")
endif()
set(year ${CMAKE_MATCH_1})
set(month ${CMAKE_MATCH_2})
set(day ${CMAKE_MATCH_3})
set(IPWHERE_RELEASE_DATE "${year}-${month}-${day}")

# The man page carries the version and its release date.
configure_file(${PROJECT_SOURCE_DIR}/man/ipwhere.1.in
               ${PROJECT_BINARY_DIR}/man/ipwhere.1 @ONLY)

# The section's entries, "- " items with two-space continuation lines,
# maybe grouped under "### " headings, which become the "[ ... ]" lines
# that Debian changelogs group changes with.
string(REGEX MATCH "\n## ${version_pattern} - [0-9-]+\n\n(.*)" section
       "${ipwhere_changelog}")
string(REGEX REPLACE "\n## .*" "" entries "${CMAKE_MATCH_1}")
string(STRIP "${entries}" entries)
string(REPLACE "\n  " "\n    " entries "\n${entries}")
string(REPLACE "\n- " "\n  * " entries "${entries}")
string(REGEX REPLACE "\n### ([^\n]*)\n\n" "\n  [ \\1 ]\n" entries
       "${entries}")
string(SUBSTRING "${entries}" 1 -1 entries)
string(REPLACE "`" "" entries "${entries}")

# The weekday of the release date (Zeller's congruence), for the RFC 5322
# date that a Debian changelog trailer wants.
math(EXPR m "${month} + 0")
math(EXPR y "${year} + 0")
if(m LESS 3)
  math(EXPR m "${m} + 12")
  math(EXPR y "${y} - 1")
endif()
math(EXPR weekday
  "(${day} + (13 * (${m} + 1)) / 5 + ${y} + ${y} / 4 - ${y} / 100 + ${y} / 400) % 7")
set(weekdays "Sat;Sun;Mon;Tue;Wed;Thu;Fri")
list(GET weekdays ${weekday} weekday)
math(EXPR month_index "${month} - 1")
set(months "Jan;Feb;Mar;Apr;May;Jun;Jul;Aug;Sep;Oct;Nov;Dec")
list(GET months ${month_index} month_name)

file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog
"ipwhere (${PROJECT_VERSION}) unstable; urgency=medium

${entries}

 -- ${CPACK_PACKAGE_CONTACT}  ${weekday}, ${day} ${month_name} ${year} 00:00:00 +0000
")

# The notice and licence text of LICENSE, in the copyright file's format:
# each line indented by one space, blank lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]*)\n\n")
  message(FATAL_ERROR "LICENSE does not start with the MIT notice")
endif()
set(copyright "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" licence "${licence}")
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence " ${licence}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ipwhere

Files: *
Copyright: ${copyright}
License: Expat
${licence}
")
