# The release, part 2: the install tree (cmake --install), with both import
# libraries and the CMake package, and the ZIP archive (cpack, see
# scripts/package.sh). Included after the tools exist.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# ---- Install tree ---------------------------------------------------------
install(TARGETS zksndapi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zksndctl tessaline-emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Each binary's debug file beside it: bin/NAME.pdb from the release's clang
# build (bin/NAME.dll.debug, NAME.exe.debug from a GCC build).
foreach(_target zksndapi zksndctl tessaline-emu)
  zk_debug_file(${_target} _debug_file)
  install(FILES ${_debug_file} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/virt/api/zksndapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${ZK_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})

set(_pkgdir ${CMAKE_INSTALL_LIBDIR}/cmake/zksndapi)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zksndapiConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/zksndapiConfig.cmake ${CMAKE_BINARY_DIR}/zksndapiConfigVersion.cmake
        DESTINATION ${_pkgdir})

# The archive stands alone: its own README at the top (how to link, run and test, where the docs
# are; nothing about this source tree), and the documents an application developer reads. The
# source tree's own documents (architecture, threads, decisions, testing) stay out.
install(FILES cmake/package/README.md DESTINATION .)
set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/zksndapi)
install(FILES CHANGELOG.md LICENSE SECURITY.md DESTINATION ${_docdir})
install(FILES docs/api.md docs/tools.md docs/testing-your-app.md docs/release.md DESTINATION ${_docdir}/docs)
install(DIRECTORY docs/schemas/ DESTINATION ${_docdir}/docs/schemas FILES_MATCHING PATTERN "*.json")
install(DIRECTORY examples/ DESTINATION ${_docdir}/examples)

# ---- For application developers: the C++ companion and the status texts,
# a cross-building toolchain file, and a pkg-config file for Makefiles ------
install(FILES ${CMAKE_SOURCE_DIR}/virt/api/zksndapi.hpp ${CMAKE_SOURCE_DIR}/virt/api/zksndapi_status.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/cmake/package/mingw-w64-x86_64.cmake DESTINATION cmake)
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/zksndapi.pc.in ${CMAKE_BINARY_DIR}/zksndapi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zksndapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- Release archive: zksndapi-<version>-win64.zip ------------------------
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zksndapi)
set(CPACK_PACKAGE_VENDOR "${ZK_COMPANY}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zksndapi-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# Authenticode signatures on the staged binaries when a certificate is given (see the script).
# Then the README's line on signatures says which it is.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/sign.cmake ${CMAKE_SOURCE_DIR}/cmake/package/signing-note.cmake)
include(CPack)
