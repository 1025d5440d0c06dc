#!/usr/bin/env bash
# Builds the protocol and framing code natively with clang-14 under ASan and
# UBSan, runs their unit tests, then fuzzes the decoders, the frame reader and
# the log escaping for about half a minute each (ZK_FUZZ_SECONDS each) on
# copies of the seed corpus. Exits non-zero on any test failure, crash or sanitizer report.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/build
mkdir -p "$build"
log=$build/run.log
: >"$log"

fail() {
  echo "fuzz: $1; full output in $log:"
  grep -E 'SUMMARY|ERROR:|runtime error|Failure|FAILED|error:|Assertion' "$log" | head -n 20 || tail -n 20 "$log"
  exit 1
}

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_COMPILER=clang++-14 >>"$log" 2>&1 || fail "configure failed"
cmake --build "$build" >>"$log" 2>&1 || fail "build failed"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ -x "$build/protocol_tests" ]; then
  "$build/protocol_tests" --gtest_brief=1 >>"$log" 2>&1 || fail "native protocol tests failed"
  echo "fuzz: native protocol tests passed under ASan/UBSan"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# fuzz NAME SEEDS...: one target on a fresh copy of its seeds.
fuzz() {
  local name=$1 corpus=$work/$1
  shift
  mkdir -p "$corpus"
  for seeds in "$@"; do cp "$seeds"/* "$corpus"/; done
  "$build/$name" -max_total_time="${ZK_FUZZ_SECONDS:-30}" -artifact_prefix="$build/$name-" \
      -print_final_stats=1 "$corpus" >"$build/$name.log" 2>&1 || { cat "$build/$name.log" >>"$log"; fail "$name found a problem"; }
  cat "$build/$name.log" >>"$log"
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$build/$name.log"; then
    fail "sanitizer report from $name"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$name.log" | tail -n 1)
  echo "fuzz: $name: ${runs:-?} runs, no crash or sanitizer report"
}
fuzz protocol_fuzzer "$here/corpus"
fuzz frame_reader_fuzzer "$here/corpus"
fuzz log_escape_fuzzer "$here/corpus"
