#!/usr/bin/env bash
# The exhaustive fault sweep: every call of every import that a session of
# zksndapi.dll makes, failed once each (tests/virt/api/fault_sweep.cpp), in
# the build's Wine prefix: every call of a fresh session in a child process
# each, then every call of a warm session, one child per import. Prints each
# point that broke a promise (stderr: what broke, the failed call's stack) and
# the figures: points, imports, children, seconds, failures. About
# 440 points, 15 minutes on two shared cores.
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
