#!/usr/bin/env bash
# Time from SIGTERM to exit while tellwyn's start waits on a sound server that
# accepts connections but never answers: the private server's daemon
# (scripts/pulse-server) is stopped with SIGSTOP before tellwyn starts, and
# SIGTERM is sent 1 s after tellwyn's last line before the session starts.
# Prints each run's exit status and time, then the median time.
#
#   bench/stuck_start_sigterm.sh [TELLWYN_BINARY] [RUNS]
#
# TELLWYN_BINARY defaults to build/tellwyn, RUNS to 10.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/tellwyn}
runs=${2:-10}
[[ -x $binary ]] || { echo "no executable at $binary" >&2; exit 1; }

eval "$("$root/scripts/pulse-server" start)"
daemon=$(head -n 1 "$TELLWYN_PULSE_DIR/pids")
work=$(mktemp -d)
trap 'kill -CONT "$daemon" 2>/dev/null || true; "$root/scripts/pulse-server" stop "$TELLWYN_PULSE_DIR"; rm -rf "$work"' EXIT

micros() {
  local now=${EPOCHREALTIME/[.,]/}
  echo $((10#$now))
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

: >"$work/times.txt"
for ((run = 0; run < runs; run++)); do
  kill -STOP "$daemon"
  "$binary" >"$work/out" 2>"$work/err" &
  pid=$!
  while ! grep -q 'debug: speech auth status=' "$work/err" 2>/dev/null; do sleep 0.01; done
  sleep 1
  sent=$(micros)
  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  ended=$(micros)
  kill -CONT "$daemon"
  echo $((ended - sent)) >>"$work/times.txt"
  printf 'run %d: exit %d after %.1f ms, %d stdout lines\n' "$run" "$status" \
    "$((ended - sent))e-3" "$(wc -l <"$work/out")"
done
printf 'SIGTERM during a stuck start to exit: median %.1f ms over %d runs\n' \
  "$(median <"$work/times.txt")e-3" "$runs"
