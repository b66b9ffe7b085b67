#!/usr/bin/env bash
# The start-up sweep of a machine that booted a minute ago, in the Linux build and in the Windows
# build on the Wine test machine: the same devices found and logged, the same drives kept (the
# stick a rule allows) and left alone (the CD drive), and the one stick no rule allows ejected on
# Linux and taken under Wine as far as Wine 8 lets an ejection go: its volume opened, the dismount
# request reaching the machine, which Wine then fails with error 66 (it dismounts only volumes it
# serves from a Unix device itself); the lock never reaches the machine under Wine (Wine answers it
# without asking the driver), and nothing after the failed dismount is asked.
#
#   sweep_same.sh <source dir> <linux build> <windows build> <machine.json>
set -u
source_dir=$1 linux=$2 windows=$3 machine=$4
. "$(dirname "$0")/linux_run.sh"
for f in "$linux/zelmarusb" "$linux/sc.exe" "$windows/zelmarusb.exe"; do
  [ -e "$f" ] || { echo "missing $f: build both legs first" >&2; exit 1; }
done
work=$(mktemp -d /tmp/zelmusb-sweep-same.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
settings='{"usb":{"active":1,"action":0,"rules":[[{"produkt":"Safe"},1]]}}'
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}
# Waits up to $3 seconds for the text $2 in the file $1.
wait_for_text() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# --- Linux: the machine file says it booted a minute ago ------------------------------------------
mkdir -p "$work/linux/root" "$work/linux/data/halvar/cfg"
python3 -c 'import json, sys, time
m = json.load(open(sys.argv[1])); m["booted_at"] = int(time.time() * 1000) - 60000
json.dump(m, open(sys.argv[2], "w"))' "$machine" "$work/linux/root/machine.json"
echo "$settings" >"$work/linux/data/halvar/cfg/cfg.json"
export ZELMUSB_PLATFORM_ROOT=$work/linux/root ALLUSERSPROFILE=$work/linux/data ZELMUSB_TRACE_FILE=$work/linux/trace
"$linux/zelmarusb" /start >/dev/null 2>&1 &
pid=$!
wait_for_text "$work/linux/trace" 'User mode enable done\.\|Exit\.' 60 || fail "the Linux run did not start"
stop_linux_run $pid
unset ZELMUSB_PLATFORM_ROOT ALLUSERSPROFILE ZELMUSB_TRACE_FILE
cp "$work/linux/data/halvar/tmp/devices_found.txt" "$work/linux/found" 2>/dev/null
cp "$work/linux/data/halvar/tmp/devices_ejected.txt" "$work/linux/ejected" 2>/dev/null

# --- Windows under Wine: its clocks say it booted a minute ago ------------------------------------
mkdir -p "$work/windows"
# shellcheck disable=SC2016
ZELMUSB_WINE_BUILD=$windows ZELMUSB_WINE_MACHINE_UPTIME=60 ZELMUSB_WINE_MACHINE_TRACE=$work/windows/trace \
  ZELMUSB_RELAY_LOG=1 OUT=$work/windows SETTINGS=$settings \
  "$source_dir/scripts/wine-machine" --shell "$machine" "$windows/zelmarusb.exe" '
    mkdir -p "$ZELMUSB_WINE_MACHINE_DATA/cfg"
    echo "$SETTINGS" >"$ZELMUSB_WINE_MACHINE_DATA/cfg/cfg.json"
    "$WINE" "$ZELMUSB_WINE_MACHINE_PROGRAM" /start &
    for ((i = 0; i < 600; i++)); do
      grep -q "User mode enable done\.\|Exit\.\|error" "$ZELMUSB_WINE_MACHINE_TRACE" 2>/dev/null && break
      sleep 0.1
    done
    cp "$ZELMUSB_WINE_MACHINE_DATA/tmp/devices_found.txt" "$OUT/found" 2>/dev/null
    cp "$ZELMUSB_WINE_MACHINE_DATA/tmp/devices_ejected.txt" "$OUT/ejected" 2>/dev/null
    true' 2>"$work/windows/relay"

# --- the comparison ------------------------------------------------------------------------------
# The sweep's lines without the thread and place that begin every trace line.
sweep_lines() { tr -d '\r' <"$1" | grep -o 'Start-up sweep, drive .*'; }
sweep_lines "$work/linux/trace" >"$work/linux/sweep"
sweep_lines "$work/windows/trace" >"$work/windows/sweep"
grep -q "drive E: ejected" "$work/linux/sweep" || fail "the Linux build did not eject E:"
grep -q "drive E: failed: error 66 at FSCTL_DISMOUNT_VOLUME" "$work/windows/sweep" ||
  fail "under Wine E: should fail at the dismount with 66"
# Every other line is the same.
diff <(grep -v "drive E:" "$work/linux/sweep") <(grep -v "drive E:" "$work/windows/sweep") >&2 ||
  fail "the sweeps differ on the other drives"
[ "$(grep -c "drive F: kept" "$work/linux/sweep")" = 1 ] || fail "F: (a rule allows it) must be kept"
cmp "$work/linux/found" "$work/windows/found" || fail "devices_found.txt differs"
# The devices logged are the same; the log's times differ, and so does the desktop user (Wine's
# desktop runs as the Unix user, the emulated Linux machine has none).
logged() { iconv -f UTF-16LE -t UTF-8 "$1" | tail -n +2 | grep -v '"time" : \|"user" : '; }
diff <(logged "$work/linux/ejected") <(logged "$work/windows/ejected") >&2 || fail "devices_ejected.txt differs"
[ "$(logged "$work/linux/ejected" | grep -c '"dyski"')" = 2 ] || fail "the stick and the CD drive are logged"
# What reached the machine for E: open, the dismount, close; not the lock, nothing after.
e_device=$(grep -o 'relay: device [0-9]* is \\\\.\\E:' "$work/windows/relay" | grep -o 'device [0-9]*' | grep -o '[0-9]*')
e_requests=$(grep "relay: kind [0-9] device $e_device file" "$work/windows/relay" |
  sed 's/relay: kind \([0-9]\) device [0-9]* file [0-9]* code \([0-9a-fx]*\) .*-> error \([0-9]*\).*/\1 \2 \3/' | tr '\n' ';')
echo "requests on E: (kind code error): $e_requests"
case $e_requests in
  *"2 0x90020 0;"*) ;;
  *) fail "the dismount did not reach the machine" ;;
esac
case $e_requests in
  *0x90018* | *0x2d4804* | *0x2d4808*) fail "under Wine only the dismount reaches the machine: $e_requests" ;;
esac
if [ $failed != 0 ]; then
  for f in linux/sweep windows/sweep windows/relay windows/trace; do
    echo "--- $f" >&2
    cat "$work/$f" >&2
  done
  exit 1
fi
echo "sweep: $(wc -l <"$work/linux/sweep") drives, the same verdicts; E: ejected on Linux, stopped by Wine at the dismount"
