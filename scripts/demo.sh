#!/usr/bin/env bash
# One-command demo on a fresh Debian machine: installs what is needed, builds,
# starts the service emulator under Wine and drives it with zksndctl through
# zksndapi.dll (device list, default device, settings round trip), then shows
# the library's log. Exits non-zero when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}

step() { printf '\n=== %s\n' "$*"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }

step "Installing packages and building"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"

run="$build/wine-run.sh"
bin="$build/bin"
export WINEPREFIX="$build/wineprefix"
work=$(mktemp -d)
control="zkdemo-$$"
emu_pid=""

cleanup() {
  set +e
  if [ -n "$emu_pid" ] && kill -0 "$emu_pid" 2>/dev/null; then
    "$run" "$bin/tessaline-emu.exe" --signal "$control" stop >/dev/null 2>&1
    wait "$emu_pid" 2>/dev/null
  fi
  sh "$build/wine-prefix.sh" stop
  rm -rf "$work"
}
trap cleanup EXIT

ctl() {
  printf '$ zksndctl %s\n' "$*"
  (cd "$work" && "$run" "$bin/zksndctl.exe" "$@")
}

step "Starting the Wine prefix and a persistent wineserver"
sh "$build/wine-prefix.sh" start
# DEBUG lines in the library's log: LogLevel 3 under the library's registry key.
"$run" reg add 'HKLM\Software\Zelkor\Tessaline Server' /v LogLevel /t REG_DWORD /d 3 /f >/dev/null 2>&1 ||
  fail "could not set LogLevel in the registry"

step "Starting tessaline-emu in the background"
"$run" "$bin/tessaline-emu.exe" --control "$control" >"$work/emu.log" 2>&1 &
emu_pid=$!
for _ in $(seq 1 150); do
  grep -q 'serving' "$work/emu.log" 2>/dev/null && break
  kill -0 "$emu_pid" 2>/dev/null || { cat "$work/emu.log"; fail "tessaline-emu ended at start"; }
  sleep 0.2
done
grep -q 'serving' "$work/emu.log" || fail "tessaline-emu did not start serving within 30 s"
cat "$work/emu.log"

step "Devices"
ctl --timeout 10000 devices || fail "devices"

step "Making device 1 the default"
ctl set-default 1 || fail "set-default"

step "Devices again: device 1 is the default now"
ctl devices | tee "$work/devices.txt" || fail "devices"
grep -Eq '^1 +yes ' "$work/devices.txt" || fail "device 1 is not the default"

step "Settings round trip"
ctl settings get --out before.bin || fail "settings get"
[ "$(stat -c %s "$work/before.bin")" -eq 336 ] || fail "the settings record is not 336 bytes"
cp "$work/before.bin" "$work/changed.bin"
# change byte 100 to a value it does not have
old=$(od -An -tu1 -j100 -N1 "$work/before.bin" | tr -d ' ')
new=$(( (old + 0x5A) % 256 ))
printf "$(printf '\\%03o' "$new")" | dd of="$work/changed.bin" bs=1 seek=100 conv=notrunc status=none
ctl settings set changed.bin || fail "settings set"
ctl settings get --out after.bin || fail "settings get"
cmp "$work/changed.bin" "$work/after.bin" || fail "the record read back differs from the one written"
echo "byte 100 went from $old to $new and read back unchanged: round trip OK"

step "What the emulator saw"
cat "$work/emu.log"

step "The library's log"
log="$WINEPREFIX/drive_c/ProgramData/Zelkor/Tessaline Server/zksndapi.txt"
echo "log file: $log"
[ -f "$log" ] || fail "no log file"
echo "last lines:"
iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r' | tail -n 15

step "Stopping tessaline-emu"
"$run" "$bin/tessaline-emu.exe" --signal "$control" stop || fail "could not signal tessaline-emu"
emu_rc=0
wait "$emu_pid" || emu_rc=$?
emu_pid=""
tail -n 2 "$work/emu.log"
[ "$emu_rc" -eq 0 ] || fail "tessaline-emu ended with exit code $emu_rc"

step "Stopping wineserver"
sh "$build/wine-prefix.sh" stop
trap - EXIT
rm -rf "$work"
printf '\nDemo finished: every step passed.\n'
