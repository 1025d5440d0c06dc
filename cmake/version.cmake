# The build's identity, for support to tell two builds apart:
#   FileVersion     MAJOR.MINOR.PATCH.N   N: the number of commits on HEAD (16 bits)
#   ProductVersion  MAJOR.MINOR.PATCH+g<hash>[.dirty]
# MAJOR.MINOR.PATCH is project()'s, which the CHANGELOG decides at a release.
# The numbers land in ${ZK_VERSION_HEADER}, remade at every build and
# rewritten only when they change; the version resources and zksndctl take
# them from there (target zk_version_info), and the library can too.
set(ZK_VERSION_DIR ${CMAKE_BINARY_DIR}/generated)
set(ZK_VERSION_HEADER ${ZK_VERSION_DIR}/zk_version.h)
set(_zk_stamp ${CMAKE_COMMAND} -DZK_SOURCE_DIR=${CMAKE_SOURCE_DIR} -DZK_OUT=${ZK_VERSION_HEADER}
    -DZK_MAJOR=${PROJECT_VERSION_MAJOR} -DZK_MINOR=${PROJECT_VERSION_MINOR} -DZK_PATCH=${PROJECT_VERSION_PATCH}
    -P ${CMAKE_CURRENT_LIST_DIR}/version_stamp.cmake)
execute_process(COMMAND ${_zk_stamp})  # there from the first configure on
add_custom_target(zk_version ALL COMMAND ${_zk_stamp} BYPRODUCTS ${ZK_VERSION_HEADER} VERBATIM)
add_library(zk_version_info INTERFACE)
target_include_directories(zk_version_info INTERFACE ${ZK_VERSION_DIR})
add_dependencies(zk_version_info zk_version)
