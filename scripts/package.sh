#!/usr/bin/env bash
# Makes the release archive from a fresh Debian 12 machine: installs the
# packages, builds, then lays out the install tree and zips it into
# build/package/zksndapi-<version>-win64.zip. Prints the archive's path.
# The build is clang's (scripts/build.sh): binaries with their PDBs.
# Signing: with ZKSND_SIGN_CERT and ZKSND_SIGN_KEY set (and optionally
# ZKSND_SIGN_PASSWORD_FILE, ZKSND_SIGN_TIMESTAMP_URL), zksndapi.dll, zksndctl.exe
# and tessaline-emu.exe are signed with Authenticode in the archive
# (cmake/sign.cmake, osslsigncode); without them they stay unsigned.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
rm -f "$build"/package/zksndapi-*-win64.zip
(cd "$build" && cpack -G ZIP --config CPackConfig.cmake >/dev/null)
archive=$(ls "$build"/package/zksndapi-*-win64.zip)
echo "$archive"
