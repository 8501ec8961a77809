#!/usr/bin/env bash
# Wall time of `tellwyn --list-devices` from process start to exit against
# `pactl list short sources`, both against the same private sound server
# (scripts/pulse-server), interleaved run by run. Prints both medians and
# their ratio.
#
#   bench/list_devices_vs_pactl.sh [TELLWYN_BINARY] [RUNS]
#
# TELLWYN_BINARY defaults to build/tellwyn, RUNS to 20.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/tellwyn}
runs=${2:-20}
[[ -x $binary ]] || { echo "no executable at $binary" >&2; exit 1; }

eval "$("$root/scripts/pulse-server" start)"
trap '"$root/scripts/pulse-server" stop "$TELLWYN_PULSE_DIR"' EXIT

listing=$("$binary" --list-devices)
if [[ $listing != *'"deviceId":"tellwyn_mono16"'* ]]; then
  echo "$binary --list-devices does not list the private server's sources: $listing" >&2
  exit 1
fi

micros() {
  local now=${EPOCHREALTIME/[.,]/}
  echo $((10#$now))
}

# Microseconds from start to exit of the command.
wall() {
  local start end
  start=$(micros)
  "$@" >/dev/null 2>&1
  end=$(micros)
  echo $((end - start))
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# One of each first, so neither pays for a cold cache alone.
wall "$binary" --list-devices >/dev/null
wall pactl list short sources >/dev/null

tellwyn_times=()
pactl_times=()
for ((i = 0; i < runs; i++)); do
  tellwyn_times+=("$(wall "$binary" --list-devices)")
  pactl_times+=("$(wall pactl list short sources)")
done

tellwyn_median=$(printf '%s\n' "${tellwyn_times[@]}" | median)
pactl_median=$(printf '%s\n' "${pactl_times[@]}" | median)
awk -v t="$tellwyn_median" -v p="$pactl_median" -v n="$runs" 'BEGIN {
  printf "runs each:                          %d\n", n
  printf "tellwyn --list-devices median:      %.2f ms\n", t / 1000
  printf "pactl list short sources median:    %.2f ms\n", p / 1000
  printf "ratio tellwyn / pactl:              %.2f\n", t / p
}'
