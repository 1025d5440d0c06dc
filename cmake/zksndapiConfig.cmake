# find_package(zksndapi CONFIG) gives the imported target zksndapi::zksndapi:
# the public header, bin/zksndapi.dll, and the import library that the
# consumer's toolchain reads.
get_filename_component(_zksndapi_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET zksndapi::zksndapi)
  # MSVC, clang-cl and clang targeting the MSVC ABI link with zksndapi.lib;
  # MinGW (GCC or clang) with libzksndapi.dll.a.
  if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    set(_zksndapi_implib "${_zksndapi_prefix}/lib/zksndapi.lib")
  else()
    set(_zksndapi_implib "${_zksndapi_prefix}/lib/libzksndapi.dll.a")
  endif()
  add_library(zksndapi::zksndapi SHARED IMPORTED)
  set_target_properties(zksndapi::zksndapi PROPERTIES
    IMPORTED_LOCATION "${_zksndapi_prefix}/bin/zksndapi.dll"
    IMPORTED_IMPLIB "${_zksndapi_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_zksndapi_prefix}/include")
  unset(_zksndapi_implib)
endif()

set(zksndapi_DLL "${_zksndapi_prefix}/bin/zksndapi.dll")
# The DLL's symbols for Visual Studio and WinDbg (add its folder to the symbol path).
set(zksndapi_PDB "${_zksndapi_prefix}/bin/zksndapi.pdb")
unset(_zksndapi_prefix)
