#!/usr/bin/env bash
# Configures and builds the Windows x64 DLL, tools, tests and benchmarks.
#   bash scripts/build.sh          clang + lld into build/: the release's build (PDBs), which the tests run
#   bash scripts/build.sh gcc      GCC into build-gcc/: the second compiler, same sources, same -Werror
#   bash scripts/build.sh all      both
# ZK_BUILD_DIR / ZK_GCC_BUILD_DIR choose other folders.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-clang}

# configure_and_build DIR TOOLCHAIN
configure_and_build() {
  local dir=$1 toolchain=$root/cmake/$2
  # A folder configured with the other compiler starts over (CMake keeps the first compiler).
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:.*=$toolchain\$" "$dir/CMakeCache.txt"; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  cmake --build "$dir" -j"$(nproc)"
}

case "$which" in
  clang|all) configure_and_build "${ZK_BUILD_DIR:-$root/build}" clang-mingw-w64-x86_64.cmake ;;&
  gcc|all)   configure_and_build "${ZK_GCC_BUILD_DIR:-$root/build-gcc}" mingw-w64-x86_64.cmake ;;
  clang) ;;
  *) echo "usage: build.sh [clang|gcc|all]" >&2; exit 2 ;;
esac
