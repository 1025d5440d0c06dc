#!/usr/bin/env bash
# Everything from a fresh Debian machine to a CTest summary: installs the
# packages, builds, runs the native protocol checks and the fuzzer, then every
# Windows test under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
build=${ZK_BUILD_DIR:-$root/build}
if [ -f "$root/fuzz/run.sh" ]; then
  bash "$root/fuzz/run.sh"
fi
cd "$build"
ctest --output-on-failure --timeout 900
