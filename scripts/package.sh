#!/usr/bin/env bash
# Makes the release archive from a fresh Debian 12 machine: installs the
# packages, builds, then lays out the install tree and zips it into
# build/package/zksndapi-<version>-win64.zip. Prints the archive's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
rm -f "$build"/package/zksndapi-*-win64.zip
(cd "$build" && cpack -G ZIP --config CPackConfig.cmake >/dev/null)
archive=$(ls "$build"/package/zksndapi-*-win64.zip)
echo "$archive"
