# The built-in release from a release's manifest file, without editing code:
#   cmake --preset release -DVARNEL_BUILTIN_MANIFEST=path/to/manifest.txt
# The fields are only lifted here; whether the file keeps the manifest rules
# is judged by the program's own parser in the unit tests, which get the
# file's bytes, so a built-in release that breaks a rule fails the tests with
# that rule named. The unit tests also hold this reader to the parser.
set(VARNEL_BUILTIN_MANIFEST "" CACHE FILEPATH "Manifest file giving the built-in release (empty: the one in manifest/builtin_release.h)")

set(VARNEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# The room of the record's fields, from the program's own header.
set(_release_h ${CMAKE_CURRENT_LIST_DIR}/../manifest/release.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_release_h})
file(STRINGS ${_release_h} _limits
  REGEX "^inline constexpr int (VERSION_CAPACITY|FILE_NAME_CAPACITY|SHA256_HEX_LENGTH) = [0-9]+;")
foreach(_limit IN LISTS _limits)
  string(REGEX MATCH "int ([A-Z0-9_]+) = ([0-9]+);" _matched "${_limit}")
  set(_VARNEL_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
if(NOT _VARNEL_VERSION_CAPACITY OR NOT _VARNEL_FILE_NAME_CAPACITY OR NOT _VARNEL_SHA256_HEX_LENGTH)
  message(FATAL_ERROR "manifest/release.h: VERSION_CAPACITY, FILE_NAME_CAPACITY or SHA256_HEX_LENGTH not found")
endif()

# Lifts the fields of a manifest's `text` into <prefix>_VERSION (one leading
# v or V dropped, as the parser drops it), <prefix>_FILE_NAME, <prefix>_SIZE
# and <prefix>_SHA256. A field that could not be C++ text of its room is
# left empty, a size that is no number 0: the tests then name the rule.
function(varnel_lift_manifest text prefix)
  string(REPLACE "\n" ";" _lines "${text}")
  set(_fields "")
  foreach(_line IN LISTS _lines)
    string(REGEX REPLACE "[ \r]+$" "" _line "${_line}")
    # Only what the rules allow passes into C++ text.
    if(NOT _line MATCHES "^[-+0-9A-Za-z._\t ]*$")
      set(_line "")
    endif()
    list(APPEND _fields "${_line}")
  endforeach()
  set(_version "")
  set(_name "")
  set(_size 0)
  set(_digest "")
  list(LENGTH _fields _n)
  if(_n GREATER_EQUAL 4)
    list(GET _fields 0 _version)
    list(GET _fields 1 _name)
    list(GET _fields 2 _size_line)
    list(GET _fields 3 _digest)
    # One v only: REGEX REPLACE would match "^" again after each one it drops.
    if(_version MATCHES "^[vV](.*)$")
      set(_version "${CMAKE_MATCH_1}")
    endif()
    # Longer than their fields: left empty rather than a compiler error.
    string(LENGTH "${_version}" _v)
    string(LENGTH "${_name}" _f)
    string(LENGTH "${_digest}" _d)
    if(_v GREATER_EQUAL _VARNEL_VERSION_CAPACITY)
      set(_version "")
    endif()
    if(_f GREATER_EQUAL _VARNEL_FILE_NAME_CAPACITY)
      set(_name "")
    endif()
    if(_d GREATER _VARNEL_SHA256_HEX_LENGTH)
      set(_digest "")
    endif()
    if(_size_line MATCHES "^[ \t]*[+]?0*([1-9][0-9]*)$")
      set(_size "${CMAKE_MATCH_1}")
    endif()
  endif()
  set(${prefix}_VERSION "${_version}" PARENT_SCOPE)
  set(${prefix}_FILE_NAME "${_name}" PARENT_SCOPE)
  set(${prefix}_SIZE "${_size}" PARENT_SCOPE)
  set(${prefix}_SHA256 "${_digest}" PARENT_SCOPE)
endfunction()

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
  varnel_lift_manifest("${_text}" VARNEL_BUILTIN)
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
