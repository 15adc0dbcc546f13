#!/usr/bin/env bash
# Runs every benchmark of a Release build (no sanitizers, GREENLARK_BENCH=ON)
# and the fuzz target of its source tree, and prints one table: greenlark's
# figure, its baseline from the same binary, the ratio and the goal.
#   bench/perf-table.sh BUILD_DIR
# BENCH_IDLE_SECONDS (default 10) and FUZZ_SECONDS (default 30) set how long
# the quiet stretch and the fuzz run last. The benchmarks briefly bind the
# control port, and the start-up benchmark runs greenlark, whose exit ends every
# greenlark of the session: run the script in namespaces of its own:
# unshare -p -f --mount-proc -n sh -c 'ip link set lo up && bench/perf-table.sh build'.
# BENCH_STARTUP_RUNS (default 15) sets how many starts of greenlark and of the
# minimal window the start-up rows take the median of.
set -euo pipefail
build=$(cd "${1:?usage: bench/perf-table.sh BUILD_DIR}" && pwd)
source=$(sed -n 's/^greenlark_SOURCE_DIR:STATIC=//p' "$build/CMakeCache.txt")
for bench in bench_frameparser bench_window bench_idle bench_startup; do
  [ -x "$build/bench/$bench" ] || { echo "build $build with -DGREENLARK_BENCH=ON first" >&2; exit 2; }
done
# shellcheck source=packages.sh
source "$source/packages.sh"
install_packages "${BENCH_PACKAGES[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() { # output name, binary, extra flags...
  local out=$1 binary=$2
  shift 2
  "$build/bench/$binary" --benchmark_out="$work/$out.json" --benchmark_out_format=json "$@" \
    >"$work/$out.log" 2>&1 || { cat "$work/$out.log" >&2; exit 1; }
}
echo "running the parser benchmarks..." >&2
run parser bench_frameparser --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
echo "running the window benchmarks..." >&2
run list bench_window --benchmark_filter=/list --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true
# Each burst once, in a process of its own: memory kept is only seen the first time.
echo "sending the bursts (minutes where a message waits for a tick)..." >&2
run burst bench_window --benchmark_filter=window/burst
run reader bench_window --benchmark_filter=reader/burst
echo "measuring idle for $((3 * ${BENCH_IDLE_SECONDS:-10})) s..." >&2
run idle bench_idle
echo "starting greenlark and a minimal window ${BENCH_STARTUP_RUNS:-15} times each..." >&2
run startup bench_startup
echo "fuzzing for ${FUZZ_SECONDS:-30} s..." >&2
GREENLARK_FUZZ_DIR=$work/fuzz sh "$source/fuzz/run-fuzz.sh" "${FUZZ_SECONDS:-30}" >"$work/fuzz.log" 2>&1 ||
  { tail -20 "$work/fuzz.log" >&2; exit 1; }

# The value of `field` for the run named `name`: the median where there are
# repetitions, else the one run.
value() { # file, name, field
  jq -r --arg n "$2" --arg f "$3" '
    [.benchmarks[] | select((.run_name == $n or (.run_name | startswith($n + "/")))
                             and (.aggregate_name // "median") == "median")]
    | first | .[$f] // empty' "$work/$1.json"
}
gib() { awk -v b="$1" 'BEGIN { printf "%.1f GiB/s", b / 1073741824 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f×", a / b }'; }

echo "| Figure | greenlark | baseline | ratio | goal |"
echo "|---|---|---|---|---|"
parser_row() { # case, label, goal
  local p m
  p=$(value parser "parse/$1" bytes_per_second)
  m=$(value parser "memcpy/$1" bytes_per_second)
  echo "| $2 | $(gib "$p") | memcpy of the same reads $(gib "$m") | $(ratio "$p" "$m") | $3 |"
}
parser_row frames:2048/read:65536 "Frame parser, 2048-byte frames in 64 KiB reads" "≥ 0.8×"
parser_row frames:2048/read:65000 "Frame parser, 2048-byte frames in 65000-byte reads" "≥ 0.8×"
parser_row frames:20/read:65536 "Frame parser, 20-byte frames in 64 KiB reads" "≥ 0.25×"

ws=$(value burst window/burst s)
wr=$(value burst window/burst rss_kept_MiB)
rs=$(value reader reader/burst s)
rr=$(value reader reader/burst rss_kept_MiB)
printf '| 10,000 NodeLists of 324 records sent at once | %.2f s until shown, %+.1f MiB RSS kept | a plain socket reader: %.2f s, %+.1f MiB | %s | < 2× the reader; RSS growth < 20 MiB |\n' \
  "$ws" "$wr" "$rs" "$rr" "$(ratio "$ws" "$rs")"

# CPU times are in microseconds (the benchmarks' unit).
wl=$(value list window/list cpu_time)
tl=$(value list table/list cpu_time)
printf '| NodeList in the running window, node page shown | %.2f ms CPU per list | a plain QTableWidget fill: %.2f ms | %s | < 1 ms |\n' \
  "$(awk -v t="$wl" 'BEGIN { print t / 1000 }')" "$(awk -v t="$tl" 'BEGIN { print t / 1000 }')" \
  "$(ratio "$wl" "$tl")"

mc=$(value idle idle/minimal-window cpu_percent)
mw=$(value idle idle/minimal-window wakeups_per_s)
for case in connected no-service; do
  c=$(value idle "idle/greenlark-$case" cpu_percent)
  w=$(value idle "idle/greenlark-$case" wakeups_per_s)
  printf '| Idle, %s | %.3f %% of a core, %.1f wakeups/s | a minimal Qt window: %.3f %%, %.1f wakeups/s | — | < 0.05 %%, ≤ 1 wakeup/s |\n' \
    "${case/-/ }" "$c" "$w" "$mc" "$mw"
done

# Against the minimal window as Qt starts it (the goal), and without OpenGL,
# as greenlark starts itself: the cost of greenlark's own work.
startup_row() { # label, field, unit format
  local g m n
  g=$(value startup startup "greenlark_$2")
  m=$(value startup startup "minimal_$2")
  n=$(value startup startup "minimal_nogl_$2")
  printf "| %s | $3 | a minimal Qt Widgets window: $3; without OpenGL: $3 (%s) | %s | ≤ 1.10× |\n" \
    "$1" "$g" "$m" "$n" "$(ratio "$g" "$n")" "$(ratio "$g" "$m")"
}
startup_row "Start, exec to the window shown (median)" ms "%.0f ms"
startup_row "Peak RSS (VmHWM) a second after shown (median)" peak_MiB "%.1f MiB"

execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/fuzz.log")
echo "| Fuzz target (ASan+UBSan, -O1) | ${execs:-?} execs/s | — | — | ≥ 50,000 execs/s |"
