# cmake -P: writes ZK_OUT (zk_version.h) from the git state of ZK_SOURCE_DIR.
# No git or no history (an unpacked archive): N = 0 and "+unknown". A shallow
# clone cannot count its commits: N = 0, the hash still tells the build.
set(_build 0)
set(_product "${ZK_MAJOR}.${ZK_MINOR}.${ZK_PATCH}+unknown")
find_program(_git git)
if(_git)
  # Only this tree's own history: an unpacked archive inside another repository has none.
  execute_process(COMMAND ${_git} -C ${ZK_SOURCE_DIR} rev-parse --show-toplevel
                  OUTPUT_VARIABLE _top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${_git} -C ${ZK_SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE _hash RESULT_VARIABLE _rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  file(REAL_PATH "${ZK_SOURCE_DIR}" _src)
  if(_top)
    file(REAL_PATH "${_top}" _top)
  endif()
  if(_rc EQUAL 0 AND _hash AND _top STREQUAL _src)
    set(_product "${ZK_MAJOR}.${ZK_MINOR}.${ZK_PATCH}+g${_hash}")
    execute_process(COMMAND ${_git} -C ${ZK_SOURCE_DIR} rev-parse --is-shallow-repository
                    OUTPUT_VARIABLE _shallow OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${_git} -C ${ZK_SOURCE_DIR} rev-list --count HEAD
                    OUTPUT_VARIABLE _count RESULT_VARIABLE _rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_rc EQUAL 0 AND NOT _shallow STREQUAL "true" AND _count MATCHES "^[0-9]+$")
      math(EXPR _build "${_count} % 65536")  # a FileVersion part has 16 bits
    endif()
    execute_process(COMMAND ${_git} -C ${ZK_SOURCE_DIR} status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE _changes ERROR_QUIET)
    if(_changes)
      string(APPEND _product ".dirty")
    endif()
  endif()
endif()
set(_text "// Made by cmake/version_stamp.cmake at every build: do not edit.
#pragma once
#define ZK_VERSION_MAJOR ${ZK_MAJOR}
#define ZK_VERSION_MINOR ${ZK_MINOR}
#define ZK_VERSION_PATCH ${ZK_PATCH}
#define ZK_VERSION_BUILD ${_build}
#define ZK_FILE_VERSION_STR \"${ZK_MAJOR}.${ZK_MINOR}.${ZK_PATCH}.${_build}\"
#define ZK_PRODUCT_VERSION_STR \"${_product}\"
#define ZK_FILE_VERSION_WSTR L\"${ZK_MAJOR}.${ZK_MINOR}.${ZK_PATCH}.${_build}\"
#define ZK_PRODUCT_VERSION_WSTR L\"${_product}\"
")
set(_old "")
if(EXISTS ${ZK_OUT})
  file(READ ${ZK_OUT} _old)
endif()
if(NOT _old STREQUAL _text)  # unchanged: left alone, so nothing is rebuilt
  file(WRITE ${ZK_OUT} "${_text}")
endif()
