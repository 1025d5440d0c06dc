# Cross-compile zksndapi for Windows x64 with clang 14 and lld: the release's
# compiler. The output is CodeView debug information, linked into one PDB per
# binary (NAME.pdb beside NAME.dll / NAME.exe), which Visual Studio and WinDbg
# read. The C++ runtime is mingw-w64's own (GCC's libstdc++, posix threads),
# linked statically as with the GCC toolchain (mingw-w64-x86_64.cmake), so both
# compilers build against one runtime and the DLL imports system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET   ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
set(CMAKE_RC_COMPILER  ${_triple}-windres)
set(CMAKE_AR           llvm-ar-14)
set(CMAKE_RANLIB       llvm-ranlib-14)
set(CMAKE_OBJDUMP      ${_triple}-objdump)
set(CMAKE_OBJCOPY      llvm-objcopy-14)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang looks for GCC's C++ headers and libgcc under .../<version>/, Debian
# installs the posix flavour under .../<version>-posix/: name the folder.
file(GLOB _gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${_triple}/*-posix)
list(SORT _gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _gcc_dirs 0 _gcc)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${_gcc}/include/c++ -isystem ${_gcc}/include/c++/${_triple}")
# (-gcodeview, CodeView instead of DWARF, is a compile option in CMakeLists.txt:
# on the link line clang would call it unused.)
# lld, GCC's libgcc/libstdc++ folder, and a PDB named after each linked binary
# (an empty --pdb= means NAME.pdb next to the output). The binary records the
# PDB by its file name only (MSVC's /PDBALTPATH:%_PDB%), not by this machine's
# build path: debuggers look the name and GUID up on their symbol path.
# The posix libstdc++ (std::mutex, thread-local storage) needs winpthread:
# static, like the rest of the runtime (lld takes libraries in any order).
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT
      "-fuse-ld=lld -L${_gcc} -Wl,--pdb= -Wl,--Xlink=-pdbaltpath:%_PDB% -Wl,-Bstatic -lwinpthread")
endforeach()

# Tests run through a wrapper that selects the build's private Wine prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
