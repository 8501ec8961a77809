#!/usr/bin/env bash
# Whether the decoder keeps up with live audio on this machine: runs
# decoder_keep_up_bench on each recording, both source shapes, once with the
# machine as it is and once with one core kept busy by an unrelated process
# (a shell spinning in a loop), interleaved, and prints the lag figures side
# by side. The goal: once the model is loaded, the decoder stays within 0.5 s
# of real time.
#
#   bench/decoder_keep_up.sh [build-dir] [recordings-dir] [runs]
# recordings-dir holds bench/make_passages output (made into a temporary
# directory when not given).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
dir=${2:-}
runs=${3:-1}
bench="$build/decoder_keep_up_bench"
[[ -x $bench ]] || { echo "build $bench first" >&2; exit 1; }

spinner=
tmp=$(mktemp -d)
cleanup() {
  [[ -n $spinner ]] && kill "$spinner" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
if [[ -z $dir ]]; then
  dir=$tmp/recordings
  bench/make_passages "$dir" >/dev/null
fi

for ((run = 1; run <= runs; run++)); do
  for raw in "$dir"/*.raw; do
    [[ $raw == *.stereo48.raw ]] && continue
    name=$(basename "$raw" .raw)
    for shape in mono16 stereo48; do
      file=$raw
      [[ $shape == stereo48 ]] && file=$dir/$name.stereo48.raw
      for load in idle busy; do
        if [[ $load == busy ]]; then
          sh -c 'while :; do :; done' &
          spinner=$!
        fi
        printf '%-22s %-8s %-4s %s\n' "$name" "$shape" "$load" "$("$bench" "$file" "$shape")"
        if [[ $load == busy ]]; then
          kill "$spinner"
          wait "$spinner" 2>/dev/null || true
          spinner=
        fi
      done
    done
  done
done
