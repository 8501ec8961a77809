#!/usr/bin/env bash
# Builds the Debian package from the build directory given as $1, checks the
# run-time dependencies it declares, unpacks it into a scratch root and runs
# the installed tellwyn --list-devices against no sound server.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/tellwyn_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libpulse0 libpocketsphinx3 libsphinxbase3 pocketsphinx-en-us; do
  if [[ "$depends" != *"$needed"* ]]; then
    echo "package does not depend on $needed: $depends" >&2
    exit 1
  fi
done

dpkg -x "$deb" "$scratch/root"
binary=$(find "$scratch/root" -path '*/bin/tellwyn' -type f)
[ -x "$binary" ] || { echo "no bin/tellwyn in the package" >&2; exit 1; }
out=$(PULSE_SERVER=unix:/nonexistent/tellwyn-package-test "$binary" --list-devices)
if [ "$out" != "[]" ]; then
  echo "installed tellwyn --list-devices printed: $out" >&2
  exit 1
fi
echo "package $(basename "$deb") installs and runs"
