#!/bin/sh
# The release as a developer receives it, checked in three steps that CTest runs in order:
#   archive  makes the ZIP with cpack, checks its contents (it stands alone: its own README, which says
#            whether the binaries are signed, the developer's documents with the schemas, no word of
#            this source tree's scripts or build folder), the debug files, and that the version in the
#            resources, in the CMake package and in `zksndctl --version` is the project's; leaves the
#            unpacked tree in OUT/tree for the next steps
#   mingw    builds examples/ as a separate CMake project with the archive's toolchain file, which finds
#            packages only under CMAKE_FIND_ROOT_PATH (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
#   clang    builds both examples with clang for x86_64-w64-mingw32 (lld; mingw-w64's libstdc++ for C++)
#   msvc     builds the C example for the MSVC ABI (clang, lld-link, zksndapi.lib; no C runtime, no SDK:
#            nothing here provides a C or C++ runtime for that ABI, so the C++ example is not built for it)
#   docs     runs every command block of README.md, docs/api.md, docs/testing-your-app.md and docs/tools.md as printed
#            (the Makefile through pkg-config among them) and the programs they build
# Every program then runs under Wine against tessaline-emu and must list its devices.
# Usage: release.sh STEP BUILD_DIR SOURCE_DIR VERSION [TOOL...]
set -eu
step="$1"; build="$2"; src="$3"; version="$4"; shift 4
out="$build/release-check"
tree="$out/tree/zksndapi-$version-win64"
run="$build/wine-run.sh"
fail() { echo "FAIL: $*"; exit 1; }

# Runs a consumer program under Wine with tessaline-emu serving the service's pipe; it must list the
# emulator's three devices. Both programs carry watchdogs: the emulator --exit-after, the consumer timeout.
# Usage: run_consumer EXE [EMULATOR OPTION...]; cpp-devices must also finish its settings round trip.
run_consumer() {
  exe="$1"; shift; control="zkconsumer-$$"
  : >"$out/emu.txt"  # emptied here: the wait below must not find the last run's lines
  "$run" "$tree/bin/tessaline-emu.exe" --control "$control" --exit-after 90 "$@" >"$out/emu.txt" 2>&1 &
  emu=$!
  # The consumer waits 10 s for its connection; Wine may take longer to start the emulator on a busy
  # machine, so the consumer starts once the pipe is served (or the emulator has ended, or a minute).
  i=0
  while ! grep -q " serving " "$out/emu.txt" 2>/dev/null && kill -0 "$emu" 2>/dev/null && [ "$i" -lt 600 ]; do
    sleep 0.1; i=$((i + 1))
  done
  rc=0; timeout 60 "$run" "$exe" >"$out/consumer.txt" 2>&1 || rc=$?
  "$run" "$tree/bin/tessaline-emu.exe" --signal "$control" stop >/dev/null 2>&1 || true
  wait "$emu" || true
  cat "$out/consumer.txt"
  [ "$rc" -eq 0 ] || { echo "the emulator's last lines:"; tail -40 "$out/emu.txt"; fail "$exe ended with $rc"; }
  for name in "Speakers (Tessaline Remote Audio)" "Headphones (Tessaline Remote Audio)" \
              "Microphone (Tessaline Remote Audio)"; do
    grep -qF "$name" "$out/consumer.txt" || fail "$exe did not list '$name'"
  done
  case "$exe" in
  *cpp-devices*) grep -qF "settings round trip: 336 bytes, unchanged" "$out/consumer.txt" ||
                   fail "$exe did not finish its settings round trip"
                 grep -qF "default device: 1" "$out/consumer.txt" || fail "$exe did not set device 1 as the default" ;;
  *) grep -qF "3 devices" "$out/consumer.txt" || fail "$exe did not count 3 devices" ;;
  esac
  case "$*" in  # a name with an ESC in it: shown escaped, never raw
  *--devices*) grep -qF 'Audio)\u001B[31m' "$out/consumer.txt" || fail "$exe did not escape a device name's ESC"
               if grep -qF "$(printf '\033')" "$out/consumer.txt"; then fail "$exe wrote a device name's ESC raw"; fi ;;
  esac
  echo "ok: $exe listed the devices${*:+ (emulator: $*)}"
}

case "$step" in
archive)
  objdump="$1"; windres="$2"; debug="$3"  # debug: pdb (clang build) or dwarf (GCC build)
  rm -rf "$out"; mkdir -p "$out/tree"
  (cd "$build" && cpack -G ZIP --config CPackConfig.cmake -B "$out" >/dev/null) || fail "cpack"
  zip="$out/zksndapi-$version-win64.zip"
  [ -f "$zip" ] || fail "no $zip"
  top="zksndapi-$version-win64"
  (cd "$out/tree" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
  (cd "$out/tree" && find "$top" -type f | sort) >"$out/files.txt"
  cat >"$out/expected.txt" <<LIST
$top/bin/tessaline-emu.exe
$top/bin/zksndapi.dll
$top/bin/zksndctl.exe
$top/cmake/mingw-w64-x86_64.cmake
$top/include/zksndapi.h
$top/include/zksndapi.hpp
$top/include/zksndapi_status.h
$top/lib/cmake/zksndapi/zksndapiConfig.cmake
$top/lib/cmake/zksndapi/zksndapiConfigVersion.cmake
$top/lib/libzksndapi.dll.a
$top/lib/pkgconfig/zksndapi.pc
$top/lib/zksndapi.lib
$top/README.md
$top/share/doc/zksndapi/CHANGELOG.md
$top/share/doc/zksndapi/LICENSE
$top/share/doc/zksndapi/SECURITY.md
$top/share/doc/zksndapi/docs/api.md
$top/share/doc/zksndapi/docs/release.md
$top/share/doc/zksndapi/docs/testing-your-app.md
$top/share/doc/zksndapi/docs/tools.md
LIST
  if [ "$debug" = pdb ]; then
    printf '%s\n' "$top/bin/zksndapi.pdb" "$top/bin/zksndctl.pdb" "$top/bin/tessaline-emu.pdb"
  else
    printf '%s\n' "$top/bin/zksndapi.dll.debug" "$top/bin/zksndctl.exe.debug" "$top/bin/tessaline-emu.exe.debug"
  fi >>"$out/expected.txt"
  for f in "$src"/docs/schemas/*.json; do echo "$top/share/doc/zksndapi/docs/schemas/$(basename "$f")"; done >>"$out/expected.txt"
  for f in "$src"/examples/*; do echo "$top/share/doc/zksndapi/examples/$(basename "$f")"; done >>"$out/expected.txt"
  sort -o "$out/expected.txt" "$out/expected.txt"
  diff "$out/expected.txt" "$out/files.txt" || fail "the archive's files differ from the release's list (- expected, + found)"
  echo "ok: the archive holds exactly the release's files"

  # It stands alone: nothing sends its reader to this source tree's scripts or build folder.
  if grep -rnE 'wine-run\.sh|build/wineprefix' "$tree/README.md" "$tree/share/doc/zksndapi/docs" ||
     grep -nE 'scripts/|build/' "$tree/README.md"; then
    fail "the archive's documents refer to files it does not hold (above)"
  fi
  if [ -n "${ZKSND_SIGN_CERT:-}" ]; then signed="are signed with Authenticode"; else signed="are not signed"; fi
  grep -q "binaries.* $signed" "$tree/README.md" || fail "the archive's README does not say the binaries $signed"
  echo "ok: the archive's README stands alone and says the binaries $signed"

  # GCC build: stripped DLL, DWARF beside it, joined by a debug link. (The PDBs of the clang build
  # are checked by check_symbols.sh, CTest's pdb_symbols.)
  if [ "$debug" = dwarf ]; then
  "$objdump" -h "$tree/bin/zksndapi.dll" >"$out/dll.txt"
  grep -q '\.gnu_debuglink' "$out/dll.txt" || fail "zksndapi.dll has no debug link"
  ! grep -q '\.debug_info' "$out/dll.txt" || fail "zksndapi.dll is not stripped"
  "$objdump" -h "$tree/bin/zksndapi.dll.debug" | grep -q '\.debug_info' || fail "zksndapi.dll.debug holds no debug information"
  "$objdump" -s -j .gnu_debuglink "$tree/bin/zksndapi.dll" | grep -q 'zksndapi.dll.deb' || fail "the debug link names another file"
  echo "ok: zksndapi.dll is stripped and links to zksndapi.dll.debug"
  fi

  # One version everywhere.
  for bin in zksndapi.dll zksndctl.exe tessaline-emu.exe; do
    "$windres" -i "$tree/bin/$bin" -O rc >"$out/rc.txt" || fail "no resources in $bin"
    for field in "\"FileVersion\", \"$version." "\"ProductVersion\", \"$version+" "\"CompanyName\", \"Zelkor\"" \
                 "\"OriginalFilename\", \"$bin\"" "\"LegalCopyright\"" "\"ProductName\"" "\"FileDescription\""; do
      grep -qF "$field" "$out/rc.txt" || fail "$bin: no $field in its version resource"
    done
  done
  grep -qF "set(PACKAGE_VERSION \"$version\")" "$tree/lib/cmake/zksndapi/zksndapiConfigVersion.cmake" ||
    fail "the CMake package does not carry version $version"
  "$run" "$tree/bin/zksndctl.exe" --version >"$out/version.txt" 2>&1 || fail "zksndctl --version failed"
  cat "$out/version.txt"
  grep -q "^zksndctl $version\b" "$out/version.txt" || fail "zksndctl --version does not say $version"
  grep -q "^zksndapi.dll $version\b" "$out/version.txt" || fail "zksndctl --version does not give the DLL's $version"
  echo "ok: version $version in every resource, in the CMake package and in zksndctl --version"
  ;;
mingw)
  # The archive's own toolchain file, as a developer cross-building on Linux uses it: it searches packages
  # only under CMAKE_FIND_ROOT_PATH, and the archive is named there (no zksndapi_DIR, no CMAKE_PREFIX_PATH).
  toolchain="$tree/cmake/mingw-w64-x86_64.cmake"
  grep -q "CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY" "$toolchain" || fail "$toolchain does not search packages ONLY in the root path"
  rm -rf "$out/mingw"
  cmake -S "$tree/share/doc/zksndapi/examples" -B "$out/mingw" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_FIND_ROOT_PATH="$tree" >"$out/mingw.txt" 2>&1 ||
    { cat "$out/mingw.txt"; fail "configuring the examples with find_package(zksndapi) failed"; }
  grep -q "libzksndapi.dll.a" "$out/mingw/build.ninja" || fail "the MinGW build does not link libzksndapi.dll.a"
  cmake --build "$out/mingw" >>"$out/mingw.txt" 2>&1 || { cat "$out/mingw.txt"; fail "building the examples failed"; }
  echo "ok: the examples found the package with CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY"

  run_consumer "$out/mingw/list-devices.exe"
  printf 'render 0 1 0 Speakers (Tessaline Remote Audio)\nrender 1 0 0 Headphones (Tessaline Remote Audio)\n%s\033[31m\n' \
         'capture 2 0 0 Microphone (Tessaline Remote Audio)' >"$out/devices.txt"
  run_consumer "$out/mingw/list-devices.exe" --devices "$out/devices.txt"
  run_consumer "$out/mingw/cpp-devices.exe"
  # Reconnection: every connection breaks after its third message; the example rides it out.
  run_consumer "$out/mingw/cpp-devices.exe" --drop-after 3
  ;;
clang)
  clang="$1"
  gcc=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | sort -V | tail -1)
  rm -rf "$out/clang"; mkdir -p "$out/clang"
  flags="--target=x86_64-w64-mingw32 -O2 -Wall -Wextra -Wshadow -Werror -I$tree/include"
  "$clang" $flags -std=c11 "$src/examples/list-devices.c" -o "$out/clang/list-devices.exe" \
           "$tree/lib/libzksndapi.dll.a" -fuse-ld=lld -static -L"$gcc" -lwinpthread || fail "clang: list-devices"
  "${clang%clang*}clang++${clang##*clang}" $flags -std=c++17 -isystem "$gcc/include/c++" \
           -isystem "$gcc/include/c++/x86_64-w64-mingw32" "$src/examples/cpp-devices.cpp" \
           -o "$out/clang/cpp-devices.exe" "$tree/lib/libzksndapi.dll.a" -fuse-ld=lld -static -L"$gcc" -lwinpthread ||
    fail "clang: cpp-devices"
  cp "$tree/bin/zksndapi.dll" "$out/clang/"
  run_consumer "$out/clang/list-devices.exe"
  run_consumer "$out/clang/cpp-devices.exe"
  ;;
docs)
  # The documents' Wine is Debian's /usr/lib/wine/wine64 (scripts/install-deps.sh); the build's prefix
  # is this run's machine state, as a reader's own prefix is theirs.
  wine=$(sed -n 's/^exec "\(.*\)" "\$@"$/\1/p' "$run")
  WINEPREFIX=$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$run") WINEDEBUG=-all \
    python3 "$src/tests/consumers/doc_blocks.py" "$tree" "$out/docs" "$wine" \
            "$src/README.md" "$src/docs/api.md" "$src/docs/testing-your-app.md" "$src/docs/tools.md" ||
    fail "a documentation block does not build or run as printed"
  ;;
msvc)
  clang="$1"; lld_link="$2"; kernel32="$3"
  rm -rf "$out/msvc"; mkdir -p "$out/msvc"
  "$clang" --target=x86_64-pc-windows-msvc -ffreestanding -std=c89 -O2 -Wall -Wextra -pedantic -Werror \
           -DLIST_DEVICES_FREESTANDING -I"$tree/include" -c "$src/examples/list-devices.c" -o "$out/msvc/list-devices.obj" ||
    fail "compiling the example for the MSVC ABI failed"
  "$lld_link" /nologo /subsystem:console /entry:ListDevicesEntry /out:"$out/msvc/list-devices.exe" \
              "$out/msvc/list-devices.obj" "$tree/lib/zksndapi.lib" "$kernel32" || fail "lld-link failed"
  cp "$tree/bin/zksndapi.dll" "$out/msvc/"
  run_consumer "$out/msvc/list-devices.exe"
  ;;
*) fail "unknown step $step" ;;
esac
