#!/usr/bin/env bash
# Measures greenlark's CPU use while idle, from /proc, as a percentage of one
# core: first with no service (its two 20 ms timers running), then with the demo
# service connected. Usage: bench/idle-cpu.sh BUILD_DIR [SECONDS]
# The build should be a Release build without sanitizers.
set -euo pipefail
build=${1:?usage: bench/idle-cpu.sh BUILD_DIR [SECONDS]}
seconds=${2:-30}
greenlark=$build/greenlark
demo=$build/tools/greenlark-demo-service
[ -x "$greenlark" ] && [ -x "$demo" ] || { echo "build $build first" >&2; exit 2; }

scratch=$(mktemp -d)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export TMPDIR=$scratch
export GREENLARK_INTERNET_SETTINGS=$scratch/internet-settings.ini
pids=()
cleanup() {
  # SIGTERM skips greenlark's exit path, which would end processes by name.
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

ticks_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

measure() {
  local pid=$1 label=$2 before after
  before=$(ticks_of "$pid")
  sleep "$seconds"
  after=$(ticks_of "$pid")
  awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" -v l="$label" \
    'BEGIN { printf "%-28s %6.2f %% of one core (%d ticks in %d s)\n", l, 100 * t / hz / s, t, s }'
}

"$greenlark" >"$scratch/greenlark.log" 2>&1 &
pids+=($!)
gl=$!
sleep 2
measure "$gl" "greenlark, no service"

"$demo" >"$scratch/demo.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q '^connected' "$scratch/demo.log" && break; sleep 0.1; done
grep -q '^connected' "$scratch/demo.log" || { echo "the demo service did not connect" >&2; exit 1; }
sleep 1
measure "$gl" "greenlark, service connected"
