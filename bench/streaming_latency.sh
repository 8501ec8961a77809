#!/usr/bin/env bash
# Two latencies of the whole product against the private sound server
# (scripts/pulse-server), over RUNS runs of goforward.raw on the virtual
# microphone, medians printed:
#  - start to capture: from exec of tellwyn to its "input format" debug line,
#    written as the capture engine is set up, right before it starts;
#  - end of speech to last partial: from the moment the last loud sample of
#    the recording enters the microphone to the arrival of the last partial.
#
#   bench/streaming_latency.sh [TELLWYN_BINARY] [RUNS]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/tellwyn}
runs=${2:-5}
recording=/usr/share/pocketsphinx/test/data/goforward.raw
[[ -x $binary ]] || { echo "no executable at $binary" >&2; exit 1; }

eval "$("$root/scripts/pulse-server" start)"
work=$(mktemp -d)
trap '"$root/scripts/pulse-server" stop "$TELLWYN_PULSE_DIR"; rm -rf "$work"' EXIT

micros() {
  local now=${EPOCHREALTIME/[.,]/}
  echo $((10#$now))
}

# Where the speech ends in the recording: the end of the last 10 ms block
# whose peak is above a tenth of full scale, in microseconds (16 kHz s16).
speech_end_us=$(od -An -v -td2 -w2 "$recording" | awk '
  { s = $1 < 0 ? -$1 : $1; if (s > peak) peak = s; n++;
    if (n % 160 == 0) { if (peak > 3276) last = n; peak = 0 } }
  END { print int(last * 1000000 / 16000) }')

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

: >"$work/capture.txt"
: >"$work/partial.txt"
for ((run = 0; run < runs; run++)); do
  out="$work/out-$run"
  start=$(micros)
  # Each line is stamped as it arrives.
  "$binary" --device-id=tellwyn_mono16 --silence-ms=1000 \
    > >(while IFS= read -r line; do echo "$(micros) $line"; done >"$out.stdout") \
    2> >(while IFS= read -r line; do echo "$(micros) $line"; done >"$out.stderr") &
  pid=$!
  while ! grep -q 'debug: input format' "$out.stderr" 2>/dev/null; do sleep 0.01; done
  captured=$(awk '/debug: input format/ { print $1; exit }' "$out.stderr")
  echo $((captured - start)) >>"$work/capture.txt"

  sleep 0.5
  fed=$(micros)
  "$root/scripts/pulse-server" feed tellwyn_mono16 "$recording"
  "$root/scripts/pulse-server" wait-fed tellwyn_mono16
  while ! grep -q '"type":"final"' "$out.stdout" 2>/dev/null; do sleep 0.05; done
  kill -TERM "$pid"
  wait "$pid" || true
  last_partial=$(awk '/"type":"partial"/ { t = $1 } END { print t }' "$out.stdout")
  echo $((last_partial - fed - speech_end_us)) >>"$work/partial.txt"
done

printf 'start to capture (input format line): median %.1f ms over %d runs\n' \
  "$(median <"$work/capture.txt")e-3" "$runs"
printf 'end of speech to last partial: median %.1f ms over %d runs\n' \
  "$(median <"$work/partial.txt")e-3" "$runs"
