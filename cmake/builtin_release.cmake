# The built-in release from a release's manifest file, without editing code:
#   cmake --preset release -DVARNEL_BUILTIN_MANIFEST=path/to/manifest.txt
# The fields are only lifted here; whether the file keeps the manifest rules
# is judged by the program's own parser in the unit tests, which get the
# file's bytes, so a built-in release that breaks a rule fails the tests with
# that rule named.
set(VARNEL_BUILTIN_MANIFEST "" CACHE FILEPATH "Manifest file giving the built-in release (empty: the one in manifest/builtin_release.h)")

set(VARNEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(_bytes "0")
set(_count 0)
if(VARNEL_BUILTIN_MANIFEST)
  if(NOT EXISTS "${VARNEL_BUILTIN_MANIFEST}")
    message(FATAL_ERROR "VARNEL_BUILTIN_MANIFEST: no file ${VARNEL_BUILTIN_MANIFEST}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VARNEL_BUILTIN_MANIFEST}")
  file(READ "${VARNEL_BUILTIN_MANIFEST}" _hex HEX)
  string(LENGTH "${_hex}" _count)
  math(EXPR _count "${_count} / 2")
  string(REGEX REPLACE "(..)" "'\\\\x\\1'," _bytes "${_hex}")

  file(READ "${VARNEL_BUILTIN_MANIFEST}" _text)
  string(REPLACE "\n" ";" _lines "${_text}")
  set(_fields "")
  foreach(_line IN LISTS _lines)
    string(REGEX REPLACE "[ \r]+$" "" _line "${_line}")
    # Only what the rules allow passes into C++ text; anything else leaves the
    # field empty and the tests name the broken rule.
    if(NOT _line MATCHES "^[-+0-9A-Za-z._\t ]*$")
      set(_line "")
    endif()
    list(APPEND _fields "${_line}")
  endforeach()
  list(LENGTH _fields _n)
  set(VARNEL_BUILTIN_VERSION "")
  set(VARNEL_BUILTIN_FILE_NAME "")
  set(VARNEL_BUILTIN_SIZE 0)
  set(VARNEL_BUILTIN_SHA256 "")
  if(_n GREATER_EQUAL 4)
    list(GET _fields 0 VARNEL_BUILTIN_VERSION)
    list(GET _fields 1 VARNEL_BUILTIN_FILE_NAME)
    list(GET _fields 2 _size)
    list(GET _fields 3 VARNEL_BUILTIN_SHA256)
    string(REGEX REPLACE "^[vV]" "" VARNEL_BUILTIN_VERSION "${VARNEL_BUILTIN_VERSION}")
    # Longer than their fields: left empty rather than a compiler error.
    string(LENGTH "${VARNEL_BUILTIN_VERSION}" _v)
    string(LENGTH "${VARNEL_BUILTIN_FILE_NAME}" _f)
    string(LENGTH "${VARNEL_BUILTIN_SHA256}" _d)
    if(_v GREATER 31)
      set(VARNEL_BUILTIN_VERSION "")
    endif()
    if(_f GREATER 127)
      set(VARNEL_BUILTIN_FILE_NAME "")
    endif()
    if(_d GREATER 64)
      set(VARNEL_BUILTIN_SHA256 "")
    endif()
    if(_size MATCHES "^[ \t]*[+]?0*([1-9][0-9]*)$")
      set(VARNEL_BUILTIN_SIZE "${CMAKE_MATCH_1}")
    endif()
  endif()
  message(STATUS "Built-in release from ${VARNEL_BUILTIN_MANIFEST}: v${VARNEL_BUILTIN_VERSION} ${VARNEL_BUILTIN_FILE_NAME}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/builtin_release.h.in
    ${VARNEL_GENERATED_DIR}/manifest/builtin_release.h @ONLY)
else()
  # Always a copy in the build tree, found before the source tree's own, so
  # that setting or clearing the variable rebuilds what includes it.
  configure_file(${CMAKE_SOURCE_DIR}/manifest/builtin_release.h
    ${VARNEL_GENERATED_DIR}/manifest/builtin_release.h COPYONLY)
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/builtin_manifest_bytes.h.in
  ${VARNEL_GENERATED_DIR}/builtin_manifest_bytes.h @ONLY)
