#!/bin/sh
# Compiles the public headers as every kind of consumer does: C89 to C17 and
# C++98 to C++20 with the MinGW compilers, and freestanding for the MSVC
# target with clang (no MSVC or Windows SDK headers there). Warnings are errors.
# Usage: check_header.sh MINGW_GCC MINGW_GXX CLANG INCLUDE_DIR
set -u
gcc="$1"; gxx="$2"; clang="$3"; inc="$4"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cat >"$work/use.c" <<'SRC'
#include "zksndapi.h"
static void OnNotify(uint32_t code, uintptr_t param, void* context) {
    const SndDeviceInfo* dev = (const SndDeviceInfo*)param;
    (void)context;
    if (code == ZKSND_NOTIFY_DEVICE_INFO && dev->devName[0] == L'A') ZkSndSetDefault(dev->field0);
}
uint32_t UseEveryExport(void) {
    SndSettings settings;
    PFN_ZkSndVApiInit init = ZkSndVApiInit;
    uint32_t status = init(OnNotify, 0);
    status |= ZkSndVGetDeviceList() | ZkSndGetSettings(&settings) | ZkSndSetSettings(&settings);
    status |= ZkConfigIsLocked() | ZkSndVCleanUp() | ZkSndDeInit();
    return status == ZKSND_STATUS_OK ? (uint32_t)sizeof(settings) : status;
}
SRC
cp "$work/use.c" "$work/use.cpp"
failed=0
check() {  # label, then the compile command
  label="$1"; shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok    $label"
  else
    echo "FAIL  $label: $*"; cat "$work/out"; failed=1
  fi
}
warn="-Wall -Wextra -pedantic -Werror -fsyntax-only -I$inc"
for std in c89 c99 c11 c17; do
  check "mingw $std" "$gcc" -std=$std $warn "$work/use.c"
done
for std in c++98 c++11 c++17 c++20; do
  check "mingw $std" "$gxx" -std=$std $warn "$work/use.cpp"
done
msvc="--target=x86_64-pc-windows-msvc -ffreestanding"
check "msvc-target c89" "$clang" $msvc -std=c89 $warn "$work/use.c"
check "msvc-target c11" "$clang" $msvc -std=c11 $warn "$work/use.c"
check "msvc-target c++14" "$clang" $msvc -std=c++14 $warn "$work/use.cpp"
# The status texts (C99 and later, C++) and the C++17 companion.
printf '#include "zksndapi_status.h"\nconst char* Text(void);\nconst char* Text(void) { return ZkSndStatusText(20); }\n' >"$work/status.c"
cp "$work/status.c" "$work/status.cpp"
printf '#include "zksndapi.hpp"\nint Use();\nint Use() { zksnd::Session s; return static_cast<int>(s.Devices(std::chrono::seconds(1)).devices.size()); }\n' >"$work/companion.cpp"
for std in c99 c17; do check "status texts $std" "$gcc" -std=$std $warn -Wshadow "$work/status.c"; done
check "status texts c++98" "$gxx" -std=c++98 $warn -Wshadow "$work/status.cpp"
check "msvc-target status texts c11" "$clang" $msvc -std=c11 $warn "$work/status.c"
for std in c++17 c++20; do check "companion $std" "$gxx" -std=$std $warn -Wshadow "$work/companion.cpp"; done
# The Windows SDK's <windows.h> makes min and max macros in C++ too, unless
# NOMINMAX (MinGW's only in C): the companion compiles after them. Its standard
# headers come first, as the SDK's guard themselves against the macros.
for h in atomic chrono cstdint functional mutex new stdexcept string system_error utility vector windows.h; do
  printf '#include <%s>\n' "$h"
done >"$work/minmax.cpp"
printf '#define min(a, b) (((a) < (b)) ? (a) : (b))\n#define max(a, b) (((a) > (b)) ? (a) : (b))\n' >>"$work/minmax.cpp"
cat "$work/companion.cpp" >>"$work/minmax.cpp"
check "companion after min and max macros" "$gxx" -std=c++17 $warn -Wshadow "$work/minmax.cpp"
# The compile-time checks must bite: a header whose settings record grew fails.
sed 's/data\[ZKSND_SETTINGS_SIZE\]/data[ZKSND_SETTINGS_SIZE + 4]/' "$inc/zksndapi.h" >"$work/zksndapi.h"
grep -q 'ZKSND_SETTINGS_SIZE + 4' "$work/zksndapi.h" || { echo "FAIL  could not alter the record size"; exit 1; }
if "$gcc" -std=c89 -fsyntax-only -I"$work" "$work/use.c" >"$work/out" 2>&1; then
  echo "FAIL  a 340-byte settings record passed the header's compile-time check"; failed=1
else
  echo "ok    the compile-time check rejects a wrong record size"
fi
exit $failed
