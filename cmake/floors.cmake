# The floors of the source tree as include roots (docs/architecture.md).
#
# Sources include each other by their path from the source root
# ("pipes/Channel.h"), but the source root is no include directory: each
# target gets a generated folder, build/floors/<target>/, that holds one
# forwarding header per header the target provides, at the same relative
# path, and that folder is its include directory. A target sees the folders
# of the targets it links and nothing else, so a floor that includes a floor
# above it ("log/..." from pipes/) fails to compile: the file is not found.
#
# A forwarding header is one line, #include "<absolute path of the real
# header>", so diagnostics and debug information name the real file. They are
# plain files (no links, which Windows tools handle badly), written only when
# their text changes (nothing rebuilds for nothing), and a header added or
# removed in a floor's folder is picked up by the next build (CONFIGURE_DEPENDS).

# zk_floor_headers(<target> <pattern>...): <target> provides the headers that
# match the patterns (relative to the source root, "pipes/*.h" or a file name).
function(zk_floor_headers target)
  set(root ${CMAKE_BINARY_DIR}/floors/${target})
  set(headers "")
  foreach(pattern ${ARGN})
    file(GLOB found RELATIVE ${CMAKE_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${pattern})
    if(NOT found)
      message(FATAL_ERROR "zk_floor_headers(${target}): nothing matches ${pattern}")
    endif()
    list(APPEND headers ${found})
  endforeach()
  list(REMOVE_DUPLICATES headers)
  foreach(rel ${headers})
    file(CONFIGURE OUTPUT ${root}/${rel} CONTENT "#include \"${CMAKE_SOURCE_DIR}/${rel}\"\n" @ONLY)
  endforeach()
  # A header gone from the floor is gone from its include root too.
  file(GLOB_RECURSE old RELATIVE ${root} ${root}/*)
  foreach(rel ${old})
    if(NOT rel IN_LIST headers)
      file(REMOVE ${root}/${rel})
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
