# The release, part 1: version resources, stripped binaries with their debug
# files (tools/CMakeLists.txt applies both to the tools), and the import
# library for MSVC. cmake/install.cmake lays out the install tree.
enable_language(RC)

set(ZK_COMPANY "Zelkor")
set(ZK_PRODUCT "Tessaline audio client")
set(ZK_COPYRIGHT "Copyright (C) 2026 Zelkor")

# A VERSIONINFO resource (version from project(), company, product) in the target.
function(zk_version_resource target description)
  get_target_property(_type ${target} TYPE)
  get_target_property(_name ${target} OUTPUT_NAME)
  if(NOT _name)
    set(_name ${target})
  endif()
  set(ZK_RC_DESCRIPTION "${description}")
  set(ZK_RC_INTERNAL "${_name}")
  if(_type STREQUAL "SHARED_LIBRARY")
    set(ZK_RC_FILENAME "${_name}.dll")
    set(ZK_RC_FILETYPE "VFT_DLL")
  else()
    set(ZK_RC_FILENAME "${_name}.exe")
    set(ZK_RC_FILETYPE "VFT_APP")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/rc/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/rc/${target}.rc)
  # The numbers come from zk_version.h, remade at every build (cmake/version.cmake).
  set_source_files_properties(${CMAKE_BINARY_DIR}/rc/${target}.rc PROPERTIES
    INCLUDE_DIRECTORIES ${ZK_VERSION_DIR} OBJECT_DEPENDS ${ZK_VERSION_HEADER})
  add_dependencies(${target} zk_version)
endfunction()

# After linking, the binary's debug information for debuggers.
# clang: lld has written NAME.pdb (CodeView) beside the binary and put its GUID
# and age in the binary's debug directory; the DWARF sections that come with
# GCC's static runtime libraries are stripped, so nothing but the PDB describes it
# (llvm-objcopy leaves the debug directory and every RVA as they are).
# GCC: the DWARF moves to NAME.debug, which the stripped binary names in a debug
# link (gdb finds it there).
function(zk_split_debug target)
  if(ZK_BUILD_WITH_CLANG)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --strip-debug $<TARGET_FILE:${target}>
      VERBATIM)
  else()
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
              $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()

# The debug file that ships with a binary: NAME.pdb (clang) or NAME.dll.debug / NAME.exe.debug (GCC).
function(zk_debug_file target out)
  if(ZK_BUILD_WITH_CLANG)
    set(${out} $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb PARENT_SCOPE)
  else()
    set(${out} $<TARGET_FILE:${target}>.debug PARENT_SCOPE)
  endif()
endfunction()

zk_version_resource(zksndapi "Tessaline audio service client library")
zk_split_debug(zksndapi)

# The import library for MSVC's linker, made from the .def (MinGW's comes from the link).
find_program(ZK_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
set(ZK_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/zksndapi.lib)
add_custom_command(OUTPUT ${ZK_MSVC_IMPLIB}
  COMMAND ${ZK_LLVM_DLLTOOL} -m i386:x86-64 -d ${CMAKE_SOURCE_DIR}/virt/api/zksndapi.def
          -l ${ZK_MSVC_IMPLIB} -D zksndapi.dll
  DEPENDS ${CMAKE_SOURCE_DIR}/virt/api/zksndapi.def
  COMMENT "Import library for MSVC: zksndapi.lib" VERBATIM)
add_custom_target(zksndapi_msvc_implib ALL DEPENDS ${ZK_MSVC_IMPLIB})
