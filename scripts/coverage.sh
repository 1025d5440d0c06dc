#!/usr/bin/env bash
# Line, branch and function coverage of the library (support, pipes, log,
# virt/api) by the Windows suites: a GCC --coverage build into build-cov/
# (ZK_COV_BUILD_DIR chooses another), the suites and the sampled fault sweep
# under Wine (Wine writes the .gcda files next to the objects), then gcovr
# through mingw-w64's gcov, per file and per folder. Slow: about as long as a
# build and a test run together. Reports; enforces nothing. (virt/api's
# SndServiceMessages is the service's side, for the emulator and tests: left out.)
#   bash scripts/coverage.sh            build, run, report
#   bash scripts/coverage.sh report     report what the last run left
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${ZK_COV_BUILD_DIR:-$root/build-cov}
suites='^(wine_prefix_start|support_tests|pipes_tests|log_tests|api_tests|fault_sweep_sampled|wine_prefix_stop)$'

if ! command -v gcovr >/dev/null; then
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo=sudo; fi
  $sudo apt-get install -y --no-install-recommends gcovr >/dev/null
fi

if [ "${1:-}" != report ]; then
  # Counters updated atomically: the library's threads share them, and plain
  # counters can go negative, which gcovr cannot read.
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZK_WERROR=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage
  cmake --build "$dir" -j"$(nproc)" --target zksndapi support_tests pipes_tests log_tests api_tests fault_sweep
  find "$dir" -name '*.gcda' -delete
  # A failing test still leaves its coverage: the figures are reported either way.
  (cd "$dir" && ctest -R "$suites" --output-on-failure) || echo "coverage: some suites failed (figures still reported)"
fi

json=$dir/coverage.json
gcovr --root "$root" --object-directory "$dir" --gcov-executable x86_64-w64-mingw32-gcov-posix \
  --filter "$root/support/" --filter "$root/pipes/" --filter "$root/log/" --filter "$root/virt/api/" \
  --exclude "$root/virt/api/SndServiceMessages" --json "$json" >/dev/null

python3 - "$json" <<'EOF'
import json, sys
from collections import defaultdict

# per file: lines, covered; branches, taken; branches without exception edges, taken; functions, called
def tally(f):
    t = [0] * 8
    for line in f["lines"]:
        if line.get("gcovr/noncode"):
            continue
        t[0] += 1
        t[1] += line["count"] > 0
        for b in line["branches"]:
            t[2] += 1
            t[3] += b["count"] > 0
            t[4] += not b.get("throw")
            t[5] += b["count"] > 0 and not b.get("throw")
    for fn in f.get("functions", []):
        t[6] += 1
        t[7] += fn.get("execution_count", 0) > 0
    return t

def pct(a, b):
    return f"{100.0 * a / b:5.1f} %" if b else "    -  "

def row(name, t):
    print(f"{name:40} lines {pct(t[1], t[0])} of {t[0]:5}  branches {pct(t[3], t[2])} of {t[2]:5}"
          f" ({pct(t[5], t[4])} without exception edges)  functions {pct(t[7], t[6])} of {t[6]:4}")

folders = defaultdict(lambda: [0] * 8)
for f in sorted(json.load(open(sys.argv[1]))["files"], key=lambda f: f["file"]):
    t = tally(f)
    row(f["file"], t)
    folder = "virt/api/" if f["file"].startswith("virt/api/") else f["file"].split("/")[0] + "/"
    for key in (folder, "library"):
        folders[key] = [a + b for a, b in zip(folders[key], t)]
print()
for name in ["support/", "pipes/", "log/", "virt/api/", "library"]:
    row(name, folders[name])
EOF
