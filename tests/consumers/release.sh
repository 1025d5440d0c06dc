#!/bin/sh
# The release as a developer receives it, checked in three steps that CTest runs in order:
#   archive  makes the ZIP with cpack, checks its contents, the debug files, and that the version in the
#            resources, in the CMake package and in `zksndctl --version` is the project's; leaves the
#            unpacked tree in OUT/tree for the next two
#   mingw    builds examples/ as a separate CMake project that finds the unpacked package
#   msvc     builds the same example for the MSVC ABI (clang, lld-link, zksndapi.lib; no C runtime, no SDK)
# Both consumers then run under Wine against tessaline-emu and must list its devices.
# Usage: release.sh STEP BUILD_DIR SOURCE_DIR VERSION [TOOL...]
set -eu
step="$1"; build="$2"; src="$3"; version="$4"; shift 4
out="$build/release-check"
tree="$out/tree/zksndapi-$version-win64"
run="$build/wine-run.sh"
fail() { echo "FAIL: $*"; exit 1; }

# Runs a consumer program under Wine with tessaline-emu serving the service's pipe; it must list the
# emulator's three devices. Both programs carry watchdogs: the emulator --exit-after, the consumer timeout.
run_consumer() {
  exe="$1"; control="zkconsumer-$$"
  "$run" "$tree/bin/tessaline-emu.exe" --control "$control" --exit-after 90 --quiet >"$out/emu.txt" 2>&1 &
  emu=$!
  # The consumer waits up to 10 s for its connection, the library retries once a second: no need to
  # wait for the emulator here.
  rc=0; timeout 60 "$run" "$exe" >"$out/consumer.txt" 2>&1 || rc=$?
  "$run" "$tree/bin/tessaline-emu.exe" --signal "$control" stop >/dev/null 2>&1 || true
  wait "$emu" || true
  cat "$out/consumer.txt"
  [ "$rc" -eq 0 ] || fail "$exe ended with $rc"
  for name in "Speakers (Tessaline Remote Audio)" "Headphones (Tessaline Remote Audio)" \
              "Microphone (Tessaline Remote Audio)" "3 devices"; do
    grep -qF "$name" "$out/consumer.txt" || fail "$exe did not list '$name'"
  done
  echo "ok: $exe listed the devices"
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
$top/include/zksndapi.h
$top/lib/cmake/zksndapi/zksndapiConfig.cmake
$top/lib/cmake/zksndapi/zksndapiConfigVersion.cmake
$top/lib/libzksndapi.dll.a
$top/lib/zksndapi.lib
$top/share/doc/zksndapi/CHANGELOG.md
$top/share/doc/zksndapi/LICENSE
$top/share/doc/zksndapi/README.md
LIST
  if [ "$debug" = pdb ]; then
    printf '%s\n' "$top/bin/zksndapi.pdb" "$top/bin/zksndctl.pdb" "$top/bin/tessaline-emu.pdb"
  else
    printf '%s\n' "$top/bin/zksndapi.dll.debug" "$top/bin/zksndctl.exe.debug" "$top/bin/tessaline-emu.exe.debug"
  fi >>"$out/expected.txt"
  for f in "$src"/docs/*.md; do echo "$top/share/doc/zksndapi/docs/$(basename "$f")"; done >>"$out/expected.txt"
  for f in "$src"/examples/*; do echo "$top/share/doc/zksndapi/examples/$(basename "$f")"; done >>"$out/expected.txt"
  sort -o "$out/expected.txt" "$out/expected.txt"
  diff "$out/expected.txt" "$out/files.txt" || fail "the archive's files differ from the release's list (- expected, + found)"
  echo "ok: the archive holds exactly the release's files"

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
    for field in "\"FileVersion\", \"$version\"" "\"ProductVersion\", \"$version\"" "\"CompanyName\", \"Zelkor\"" \
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
  toolchain="$1"
  rm -rf "$out/mingw"
  cmake -S "$src/examples" -B "$out/mingw" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$tree" >"$out/mingw.txt" 2>&1 ||
    { cat "$out/mingw.txt"; fail "configuring the example with find_package(zksndapi) failed"; }
  grep -q "libzksndapi.dll.a" "$out/mingw/build.ninja" || fail "the MinGW build does not link libzksndapi.dll.a"
  cmake --build "$out/mingw" >>"$out/mingw.txt" 2>&1 || { cat "$out/mingw.txt"; fail "building the example failed"; }
  run_consumer "$out/mingw/list-devices.exe"
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
