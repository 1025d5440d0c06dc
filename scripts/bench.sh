#!/usr/bin/env bash
# Builds the benchmark programs and runs them all under Wine, one after the
# other (they all serve the service's pipe, which one Wine prefix shares),
# then prints one table: what, library figure, baseline figure, ratio, target,
# met or not. Each program measures the library and its baseline in the same
# run; read the ratios, not the absolute figures, on a busy machine.
# Full output of each program: build/bench/<program>.txt.
#
# cost_bench's wake-ups and CPU are counted here, from outside the Wine
# process (inside it, Z:\proc\self names the wineserver, and counting from the
# measured process would disturb the count). The program marks each window on
# stdout ("SAMPLE<TAB>IDLE|BEGIN|END<TAB>key...") and blocks on a read of its
# stdin, a FIFO; this script then snapshots, per thread, the context switches
# (voluntary ones from /proc/<pid>/task/<tid>/status: a thread that slept and
# was woken; an involuntary switch is a running thread preempted, which the
# machine's other work decides) and the run time (schedstat in ns; stat's
# utime+stime where the kernel has no schedstat) of the program's Wine process
# (found by name and prefix) and of the prefix's wineserver (the wineserver
# whose working directory is server-<dev>-<inode> of the prefix), and answers
# "go" on the FIFO. An idle window is 10 s between two snapshots while the
# program waits; a work window is what lies between BEGIN and END.
# "SAMPLE<TAB>GROUP<TAB>name<TAB>begin|end" marks a group: the threads born
# between the two marks. Each window also gives the CPU of the raw client's
# side (the groups "raw" and "rawcaller": its thread and its connection's
# server thread), of the main thread, and of the two calling threads alone
# ("rawcaller", "libcaller"), so that windows where two clients work side by
# side are split, and each side into its calling thread and the rest.
# While two clients work side by side cost_bench holds its process to one CPU
# (on two cores the pair of threads started first took less CPU), and runs the
# same windows first with a raw client in the library's place ("calib-" keys):
# the ratio two equal clients get, the method's own floor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
# ZK_BENCH_PROGRAMS="cost_bench notify_bench" runs only those.
read -r -a programs <<<"${ZK_BENCH_PROGRAMS:-roundtrip_bench notify_bench oneway_bench lifecycle_bench primitives_bench stack_bench cost_bench}"
sampled=cost_bench  # the program whose windows this script counts (see above)

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake"
fi
cmake --build "$build" -j"${ZK_BUILD_JOBS:-2}" --target zksndapi "${programs[@]}"

out="$build/bench"
mkdir -p "$out"
"$build/wine-prefix.sh" start
trap '"$build/wine-prefix.sh" stop' EXIT

prefix=$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$build/wine-run.sh")
clk_tck=$(getconf CLK_TCK)

# The pid of the Wine process running $1 (an .exe name) in this prefix; $2 is
# the pid the job was started as (wine-run.sh execs Wine, which keeps it).
wine_process() {
  local pid
  for pid in "$2" $(ls /proc | grep -E '^[0-9]+$'); do
    grep -qzF -- "$1" "/proc/$pid/cmdline" 2>/dev/null || continue
    grep -qzxF -- "WINEPREFIX=$prefix" "/proc/$pid/environ" 2>/dev/null || continue
    echo "$pid"
    return 0
  done
  return 1
}

# The pid of the wineserver serving this prefix.
prefix_wineserver() {
  local dir pid
  dir=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
  for pid in $(pgrep -u "$(id -u)" wineserver || true); do
    case $(readlink "/proc/$pid/cwd" 2>/dev/null) in */"$dir") echo "$pid"; return 0 ;; esac
  done
  return 1
}

# One line per thread of process $1: tid, times it slept (voluntary context switches), run time in ns, name.
snapshot() {
  local t tid sw k v ns name rest
  for t in /proc/"$1"/task/*; do
    tid=${t##*/}
    sw=0
    { while read -r k v _; do
        case $k in voluntary_ctxt_switches:) sw=$v ;; esac
      done <"$t/status"; } 2>/dev/null || continue
    if ! read -r ns _ 2>/dev/null <"$t/schedstat"; then
      rest=$(<"$t/stat")
      rest=${rest##*) }
      set -- $rest
      ns=$(( (${12} + ${13}) * 1000000000 / clk_tck ))
    fi
    name=$(<"$t/comm")
    echo "$tid $sw $ns ${name// /_}"
  done
}

# Snapshots A and B of one process -> "switches cpu_ns" added between them
# (a thread born in between counts from 0; one that ended is lost).
delta() {
  awk 'NR == FNR { s[$1] = $2; c[$1] = $3; next } { sw += $2 - s[$1]; ns += $3 - c[$1] } END { print sw + 0, ns + 0 }' "$1" "$2"
}

# The CPU in ns that the threads listed in file $3 (one tid a line) took between snapshots A and B.
group_delta() {
  awk 'FILENAME == ARGV[1] { g[$1] = 1; next } FILENAME == ARGV[2] { c[$1] = $3; next } ($1 in g) { ns += $3 - c[$1] } END { print ns + 0 }' "$3" "$1" "$2"
}

# The threads that woke, most first: "name/tid=switches, ...".
wakers() {
  awk 'NR == FNR { s[$1] = $2; next } $2 - s[$1] > 0 { print $2 - s[$1], $4 "/" $1 }' "$1" "$2" |
    sort -rn | head -n 6 | awk '{ printf "%s%s=%s", sep, $2, $1; sep = ", " } END { print "" }'
}

# Runs $1 with its stdin on a FIFO and answers its SAMPLE lines; one line per
# window into $out/$1.samples: key units unit proc_switches proc_ns ws_switches ws_ns
# rawside_ns main_ns rawcaller_ns libcaller_ns wakers.
run_sampled() {
  local p=$1 fifo="$out/$1.fifo" samples="$out/$1.samples" line kind key arg unit job wpid="" ws units=0
  rm -f "$fifo" "$samples" "$out"/group.*
  mkfifo "$fifo"
  exec 3<>"$fifo"  # held open for writing, so the program's reads block instead of ending
  ZK_BENCH_SAMPLER=1 "$build/wine-run.sh" "./$p.exe" <"$fifo" >"$out/$p.txt" 2>&1 3>&- &
  job=$!
  ws=$(prefix_wineserver) || { echo "no wineserver for $prefix" >&2; ws=$$; }
  while IFS= read -r line; do
    line=${line%$'\r'}
    case $line in SAMPLE$'\t'*) ;; *) continue ;; esac
    IFS=$'\t' read -r _ kind key arg unit <<<"$line"
    [ -n "$wpid" ] || wpid=$(wine_process "$p.exe" "$job") || { echo "cannot find $p.exe" >&2; wpid=$job; }
    case $kind in
      GROUP)  # the threads born between begin and end form the group
        if [ "$arg" = begin ]; then snapshot "$wpid" >"$out/g.proc"; else
          snapshot "$wpid" | awk 'NR == FNR { old[$1] = 1; next } !($1 in old) { print $1 }' "$out/g.proc" - >"$out/group.$key"
        fi
        echo go >&3
        continue ;;
      IDLE|BEGIN)
        snapshot "$wpid" >"$out/a.proc"; snapshot "$ws" >"$out/a.ws"
        units=${arg:-0}
        [ "$kind" = BEGIN ] || { sleep "$arg"; unit=s; kind=END; } ;;
    esac
    if [ "$kind" = END ]; then
      snapshot "$wpid" >"$out/b.proc"; snapshot "$ws" >"$out/b.ws"
      # Then the CPU of the raw side, of the main thread and of the two
      # calling threads (each 0 before there is such a group).
      for g in raw rawcaller libcaller; do [ -f "$out/group.$g" ] || : >"$out/group.$g"; done
      cat "$out/group.raw" "$out/group.rawcaller" >"$out/group.rawside"
      echo "$wpid" >"$out/group.main"
      echo "$key $units ${unit:-unit} $(delta "$out/a.proc" "$out/b.proc") $(delta "$out/a.ws" "$out/b.ws")" \
           "$(group_delta "$out/a.proc" "$out/b.proc" "$out/group.rawside") $(group_delta "$out/a.proc" "$out/b.proc" "$out/group.main")" \
           "$(group_delta "$out/a.proc" "$out/b.proc" "$out/group.rawcaller") $(group_delta "$out/a.proc" "$out/b.proc" "$out/group.libcaller")" \
           "$(wakers "$out/a.proc" "$out/b.proc")" >>"$samples"
    fi
    echo go >&3
  done < <(tail -n +1 -s 0.05 -f --pid="$job" "$out/$p.txt" 2>/dev/null 3>&-)
  exec 3>&-
  rm -f "$fifo" "$out"/[abg].proc "$out"/[ab].ws "$out"/group.*
  wait "$job"
}

# The sampled windows as table rows (and their details as notes).
sampled_rows() {
  awk -v what="$1" '
    # A pair: the next library and baseline windows of one kind (see perunit).
    $1 ~ /-(lib|raw)$/ && $2 > 0 {
      g = $1; sub(/-(lib|raw)$/, "", g); cost = ($5 + $7) / $2
      if ($1 ~ /-raw$/) pend_b[g] = cost; else pend_l[g] = cost
      if ((g in pend_b) && (g in pend_l) && pend_b[g] > 0) { np[g]++; pr[g, np[g]] = pend_l[g] / pend_b[g]; delete pend_b[g]; delete pend_l[g] }
    }
    # Side by side: the library (the process but the raw side and the main thread) against the raw side, per window;
    # and the sums of the calling thread of each side.
    $1 ~ /-side$/ && $8 > 0 { g = $1; ns_[g]++; sr[g, ns_[g]] = ($5 - $8 - $9) / $8; sraw[g] += $8; slib[g] += $5 - $8 - $9
                              crawc[g] += $10; clibc[g] += $11 }
    { k = $1; units[k] += $2; psw[k] += $4; pns[k] += $5; wsw[k] += $6; wns[k] += $7; n[k]++
      $1 = $2 = $3 = $4 = $5 = $6 = $7 = $8 = $9 = $10 = $11 = ""; sub(/^ +/, ""); who[k] = who[k] (who[k] != "" && $0 != "" ? "; " : "") $0 }
    function idle(k) { return sprintf("%d (wineserver %d); CPU %.1f ms (wineserver %.1f ms)", psw[k], wsw[k], pns[k] / 1e6, wns[k] / 1e6) }
    function row(w, l, b, r, t, m) { printf "ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", w, l, b, r, t, m }
    function idlerow(w, k, t, limit, base) {
      if (!(k in n)) return
      row(w, idle(k), base ? idle("idle-raw") : "-", "-", t, psw[k] <= limit ? "yes" : "no")
    }
    # Windows of a kind come in pairs (library and baseline, next to each
    # other, in alternating order): the ratio of a pair compares two windows run
    # back to back, so load that comes and goes moves both. With several
    # pairs the verdict takes their median, which one disturbed window
    # cannot move; the sums are shown beside it.
    # The median of the m ratios vals[g, 1..m]; lo and hi are set to the least and the greatest.
    function median(vals, g, m,   i, j, t, a) {
      for (i = 1; i <= m; i++) a[i] = vals[g, i]
      for (i = 2; i <= m; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
      lo = a[1]; hi = a[m]
      return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2
    }
    function perunit(w, k, b, maxr,   g, r, l, bl, how) {
      if (!(k in n) || !(b in n) || !units[k] || !units[b]) return
      l = (pns[k] + wns[k]) / units[k] / 1e3; bl = (pns[b] + wns[b]) / units[b] / 1e3
      g = k; sub(/-lib$/, "", g)
      r = l / bl; how = sprintf("%.2fx", r)
      if (np[g] >= 3) { r = median(pr, g, np[g]); how = sprintf("%.2fx (median of %d pairs, %.2f-%.2f; sums %.2fx)", r, np[g], lo, hi, l / bl) }
      if (maxr < 0) row(w, sprintf("%.1f us", l), sprintf("%.1f us", bl), how, "-", "-")
      else row(w, sprintf("%.1f us", l), sprintf("%.1f us", bl), how, "<= " maxr "x", r <= maxr ? "yes" : "no")
    }
    function ratio(a, b) { return a > 0 && b > 0 ? sprintf("%.3fx", a / b) : "-" }
    # maxr < 0: information only, no verdict.
    function side(w, g, maxr,   r) {
      if (!(g in ns_) || !units[g]) return
      r = median(sr, g, ns_[g])
      row(w, sprintf("%.1f us", slib[g] / units[g] / 1e3), sprintf("%.1f us", sraw[g] / units[g] / 1e3),
          sprintf("%.3fx (median of %d windows, %.2f-%.2f; sums %.3fx: the calling threads %s, the rest of each side %s)",
                  r, ns_[g], lo, hi, slib[g] / sraw[g], ratio(clibc[g], crawc[g]), ratio(slib[g] - clibc[g], sraw[g] - crawc[g])),
          maxr < 0 ? "-" : "<= " maxr "x", maxr < 0 ? "-" : r <= maxr ? "yes" : "no")
    }
    END {
      if (what == "notes") {
        for (k in n) printf "  %s: %d switches in the process, %d in the wineserver; CPU %.1f ms + %.1f ms; for %d %s; woke: %s\n",
          k, psw[k], wsw[k], pns[k] / 1e6, wns[k] / 1e6, units[k], k ~ /^idle/ ? "s" : "units", who[k] == "" ? "none" : who[k]
        exit
      }
      base = ("idle-raw" in n) ? psw["idle-raw"] : 0
      idlerow("wake-ups in 10 s idle, connected, LogLevel 0 (the process; baseline: a bare connected raw client)", "idle-lib0", "0 (as the raw client)", base, 1)
      idlerow("wake-ups in 10 s idle, connected, LogLevel 3, after a burst of lines and the idle close of the file", "idle-lib3", "0 (as the raw client)", base, 1)
      idlerow("wake-ups in 10 s idle, service absent", "idle-absent", "one attempt a second (a wait, an open: up to 3 each), <= 30", 30, 0)
      perunit("CPU per device record through the callback, LogLevel 0, process + wineserver (baseline: raw bulk reader)", "rec-lib", "rec-raw", 2)
      side("CPU per ZkSndGetSettings round trip, LogLevel 0, side by side on one CPU: each client with the server thread of its connection (baseline: a raw ping-pong on its own thread and connection, at the same time)", "rt-side", 1.0)
      side("CPU per ZkSndSetDefault one-way call, LogLevel 0, side by side (baseline: raw writes of the frame on their own thread and connection, at the same time)", "ow-side", 1.0)
      side("the same round trip side by side with a raw client in place of the library (information: what the method itself makes of two equal clients)", "calib-rt-side", -1)
      side("the same one-way call side by side with a raw client in place of the library (information, as above)", "calib-ow-side", -1)
      perunit("the same round trip, process + wineserver, in alternating windows (information: the share of the wineserver, which side-by-side windows cannot split)", "rt-lib", "rt-raw", -1)
      perunit("the same one-way call, process + wineserver, in alternating windows (information, as above)", "ow-lib", "ow-raw", -1)
    }' "$out/$sampled.samples"
}

cd "$build/bin"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
status=0
for p in "${programs[@]}"; do
  echo "running $p ..." >&2
  # A program that fails still leaves its rows; the table shows what it measured.
  if [ "$p" = "$sampled" ]; then
    run_sampled "$p" || { echo "$p exited with $?" >&2; status=1; }
  else
    "$build/wine-run.sh" "./$p.exe" >"$out/$p.txt" 2>&1 || { echo "$p exited with $?" >&2; status=1; }
  fi
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
    { [ "$p" != "$sampled" ] || [ ! -f "$out/$p.samples" ] || sampled_rows rows; tr -d '\r' <"$out/$p.txt"; } |
      awk -F'\t' '$1 == "ROW" { printf "| %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7 }'
  done
  echo
  echo "Details:"
  for p in "${programs[@]}"; do
    tr -d '\r' <"$out/$p.txt" | grep -v -e '^ROW' -e '^SAMPLE' || true
    [ "$p" != "$sampled" ] || [ ! -f "$out/$p.samples" ] || sampled_rows notes | sort
  done
} | sed 's/ us\b/ µs/g' | tee "$out/table.md"
exit $status
