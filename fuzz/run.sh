#!/usr/bin/env bash
# Builds the protocol code natively with clang-14 under ASan and UBSan, runs
# its unit tests, then fuzzes the decoders for about a minute on a copy of the
# seed corpus. Exits non-zero on any test failure, crash or sanitizer report.
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
if [ -x "$build/log_escape_tests" ]; then
  "$build/log_escape_tests" --gtest_brief=1 >>"$log" 2>&1 || fail "native log escaping tests failed"
  echo "fuzz: native log escaping tests passed under ASan/UBSan"
fi

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$here"/corpus/* "$corpus"/
"$build/protocol_fuzzer" -max_total_time="${ZK_FUZZ_SECONDS:-60}" -artifact_prefix="$build/" \
    -print_final_stats=1 "$corpus" >>"$log" 2>&1 || fail "fuzzer found a problem"
if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
  fail "sanitizer report"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz: ${runs:-?} decoder runs, no crash or sanitizer report"
