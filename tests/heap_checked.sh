#!/bin/sh
# Runs one test program under Wine with its heap validated on every operation
# (WINEDEBUG=warn+heap), and fails on a failing test, on a crash, or on any heap
# report: a use after free or an overrun that happens to pass unchecked shows here.
# Usage: heap_checked.sh WINE_RUN PROGRAM [ARGS...]
run="$1"; shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
# stdout (the test results) passes through; Wine's reports go to the log.
WINEDEBUG=warn+heap "$run" "$@" 2>"$log" || rc=$?
# Heap reports ("err:heap", "warn:heap") and crashes ("Unhandled exception", a page fault, a
# stack overflow), from any thread.
if grep -E ':(warn|err):heap|Unhandled exception|page fault|stack overflow|Backtrace:' "$log" >/dev/null; then
  echo "FAIL: heap check of $(basename "$1"): Wine reported:"
  grep -E ':(warn|err):heap|Unhandled exception|page fault|stack overflow' "$log" | head -n 20
  grep -A 12 'Backtrace:' "$log" | head -n 40
  exit 1
fi
if [ "$rc" -ne 0 ]; then
  echo "FAIL: $(basename "$1") ended with $rc under the heap checker"
  tail -n 20 "$log"
  exit 1
fi
echo "ok: $(basename "$1") passed with the heap checked and no heap report"
exit 0
