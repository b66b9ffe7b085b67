#!/usr/bin/env bash
# The table of device requests of requests_probe gives the same outcomes, line for line, from the
# Linux build (the machine model answering directly) and from the Windows build on the Wine test
# machine (Wine's I/O manager, the relay driver and its answerer over the same model).
#
#   requests_same.sh <source dir> <linux build> <windows build> <machine.json>
set -u
source_dir=$1 linux=$2 windows=$3 machine=$4
for f in "$linux/tests/requests_probe" "$windows/tests/requests_probe.exe"; do
  [ -e "$f" ] || { echo "missing $f: build both legs first" >&2; exit 1; }
done
work=$(mktemp -d /tmp/zelmusb-requests-same.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root"
cp "$machine" "$work/root/machine.json"
ZELMUSB_PLATFORM_ROOT=$work/root "$linux/tests/requests_probe" "$work/root/machine.json" >"$work/linux.txt"
# The probe rewrites the machine file beside the stand-ins (the run's own copy).
# shellcheck disable=SC2016
ZELMUSB_WINE_BUILD=$windows "$source_dir/scripts/wine-machine" --shell "$machine" "$windows/tests/requests_probe.exe" \
  '"$WINE" "$ZELMUSB_WINE_MACHINE_PROGRAM" "Z:$(dirname "$ZELMUSB_WINE_MACHINE_PROGRAM" | tr / \\\\)\\machine.json"' |
  tr -d '\r' >"$work/windows.txt"
if [ "$(wc -l <"$work/linux.txt")" -lt 40 ] || ! diff -u "$work/linux.txt" "$work/windows.txt"; then
  echo "--- Linux build:" >&2
  cat "$work/linux.txt" >&2
  exit 1
fi
echo "$(wc -l <"$work/linux.txt") requests and opens with the same outcome in both builds"
