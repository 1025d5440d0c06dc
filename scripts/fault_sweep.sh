#!/usr/bin/env bash
# The exhaustive fault sweep: every call of every import that a session of
# zksndapi.dll makes, failed once each (tests/virt/api/fault_sweep.cpp), in
# the build's Wine prefix. Prints each point that broke a promise and the
# figures: points, imports, failures per kind. About 1 s a point.
#   bash scripts/fault_sweep.sh          against build/ (bash scripts/build.sh first)
# ZK_BUILD_DIR chooses another build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${ZK_BUILD_DIR:-$root/build}
cmake --build "$dir" --target fault_sweep zksndapi
sh "$dir/wine-prefix.sh" start
trap 'sh "$dir/wine-prefix.sh" stop' EXIT
cd "$dir/bin"
"$dir/wine-run.sh" ./fault_sweep.exe --all
