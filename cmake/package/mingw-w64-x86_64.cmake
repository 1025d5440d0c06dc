# Toolchain file for building a Windows x64 application with Debian's (or any
# distribution's) mingw-w64 on Linux, against the unpacked zksndapi archive:
#
#   cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=<archive>/cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_FIND_ROOT_PATH=<archive>
#
# Packages, libraries and headers are searched only under CMAKE_FIND_ROOT_PATH
# (the usual cross-building rule), so the archive's folder goes there; the
# mingw-w64 sysroot is added after whatever the command line gives. With clang:
#   -DCMAKE_C_COMPILER=clang-14 -DCMAKE_C_COMPILER_TARGET=x86_64-w64-mingw32 (the same for CXX)
#   -DCMAKE_EXE_LINKER_FLAGS="-fuse-ld=lld -L/usr/lib/gcc/x86_64-w64-mingw32/<version>-posix"
# and for C++ mingw-w64's libstdc++ (docs/api.md, "Building an application", prints it all):
#   -DCMAKE_CXX_FLAGS="-isystem <that folder>/include/c++ -isystem <that folder>/include/c++/x86_64-w64-mingw32"
#   -DCMAKE_CXX_STANDARD_LIBRARIES=-lwinpthread   (with the program's -static)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_zksnd_triple x86_64-w64-mingw32)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${_zksnd_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The posix thread model has std::thread and std::mutex; Debian names it -posix.
# Another compiler given on the command line (clang with CMAKE_<LANG>_COMPILER_TARGET) is kept.
if(NOT CMAKE_C_COMPILER)
  find_program(_zksnd_gcc NAMES ${_zksnd_triple}-gcc-posix ${_zksnd_triple}-gcc)
  set(CMAKE_C_COMPILER ${_zksnd_gcc})
endif()
if(NOT CMAKE_CXX_COMPILER)
  find_program(_zksnd_gxx NAMES ${_zksnd_triple}-g++-posix ${_zksnd_triple}-g++)
  set(CMAKE_CXX_COMPILER ${_zksnd_gxx})
endif()
set(CMAKE_RC_COMPILER ${_zksnd_triple}-windres)

