#!/usr/bin/env bash
# Builds the benchmark programs and runs them all under Wine, one after the
# other (they all serve the service's pipe, which one Wine prefix shares),
# then prints one table: what, library figure, baseline figure, ratio, target,
# met or not. Each program measures the library and its baseline in the same
# run; read the ratios, not the absolute figures, on a busy machine.
# Full output of each program: build/bench/<program>.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
programs=(roundtrip_bench notify_bench oneway_bench lifecycle_bench primitives_bench stack_bench)

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake"
fi
cmake --build "$build" -j"${ZK_BUILD_JOBS:-2}" --target zksndapi "${programs[@]}"

out="$build/bench"
mkdir -p "$out"
"$build/wine-prefix.sh" start
trap '"$build/wine-prefix.sh" stop' EXIT

cd "$build/bin"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
status=0
for p in "${programs[@]}"; do
  echo "running $p ..." >&2
  # A program that fails still leaves its rows; the table shows what it measured.
  "$build/wine-run.sh" "./$p.exe" >"$out/$p.txt" 2>&1 || { echo "$p exited with $?" >&2; status=1; }
done

wine_version=$("$build/wine-run.sh" --version 2>/dev/null || echo "Wine")
os=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME" || uname -s)
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on a $(nproc)-core $os machine, $wine_version;" \
       "load average $load_before before the run, $(cut -d' ' -f1-3 /proc/loadavg) after."
  echo
  echo "| What | Library | Baseline in the same run | Ratio | Target | Met |"
  echo "|---|---|---|---|---|---|"
  for p in "${programs[@]}"; do
    tr -d '\r' <"$out/$p.txt" |
      awk -F'\t' '$1 == "ROW" { printf "| %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7 }'
  done
  echo
  echo "Details:"
  for p in "${programs[@]}"; do
    tr -d '\r' <"$out/$p.txt" | grep -v '^ROW' || true
  done
} | sed 's/ us\b/ µs/g' | tee "$out/table.md"
exit $status
