#!/bin/bash
# Peak resident memory (VmHWM) of tellwyn streaming against a private sound
# server, after 100 MB of standard input without a line feed versus after
# 100 bytes. The config channel caps a pending line, so the two peaks should
# be about equal; without the cap the first would grow by the 100 MB.
#
# Usage: bench/config_channel_memory.sh [path/to/tellwyn] (default build/tellwyn)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/tellwyn}
big_bytes=${BIG_BYTES:-100000000}
small_bytes=100
[ -x "$binary" ] || { echo "no executable at $binary" >&2; exit 2; }

work=$(mktemp -d /tmp/tellwyn-memory-XXXXXX)
server_started=
tellwyn_pid=
cleanup() {
  [ -n "$tellwyn_pid" ] && kill -KILL "$tellwyn_pid" 2>/dev/null || true
  [ -n "$server_started" ] && "$root/scripts/pulse-server" stop "$work/pulse" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The private daemon of scripts/pulse-server: a null sink and pipe sources
# fed with silence at real-time pace; capture from its mono source.
eval "$("$root/scripts/pulse-server" start "$work/pulse")"
server_started=1
pactl set-default-source tellwyn_mono16 >/dev/null

# Starts tellwyn streaming, feeds `bytes` bytes of 'x' without a line feed on
# its standard input, then prints its VmHWM in kB and stops it with SIGTERM.
peak_after() {
  local bytes=$1 fifo=$work/stdin.$1
  mkfifo "$fifo"
  exec 3<>"$fifo"
  "$binary" --skip-speech-auth-check <"$fifo" >"$work/out.$bytes" 2>"$work/err.$bytes" &
  tellwyn_pid=$!
  # Streaming has begun once the session reports its input format.
  for _ in $(seq 600); do
    grep -q "input format" "$work/err.$bytes" 2>/dev/null && break
    kill -0 "$tellwyn_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! kill -0 "$tellwyn_pid" 2>/dev/null; then
    echo "tellwyn ended early:" >&2
    cat "$work/out.$bytes" "$work/err.$bytes" >&2
    exit 1
  fi
  head -c "$bytes" /dev/zero | tr '\0' 'x' >&3
  sleep 1  # the last pipe-full is read
  local peak
  peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$tellwyn_pid/status")
  kill -TERM "$tellwyn_pid"
  wait "$tellwyn_pid" || true
  tellwyn_pid=
  exec 3>&-
  echo "$peak"
}

small=$(peak_after "$small_bytes")
big=$(peak_after "$big_bytes")
echo "peak RSS after $small_bytes bytes without a line feed: $small kB"
echo "peak RSS after $big_bytes bytes without a line feed: $big kB"
awk -v a="$big" -v b="$small" 'BEGIN { printf "ratio: %.3f\n", a / b }'
