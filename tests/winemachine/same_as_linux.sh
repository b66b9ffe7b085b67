#!/usr/bin/env bash
# The Windows build under Wine gives the same bytes as the Linux build for one machine file: the
# /gud: list ("gud") or the initial device list a first /start writes ("initial").
#
#   same_as_linux.sh <source dir> <linux build> <windows build> <machine.json> gud|initial
#
# The Linux build runs in a fresh emulated machine (its own platform root with the machine file);
# the Windows build runs on the Wine test machine (scripts/wine-machine) with the same file. Fails
# when either writes nothing or the two files differ in any byte; the Linux build must be there
# (make test builds it first).
set -u
source_dir=$1 linux=$2 windows=$3 machine=$4 mode=$5
. "$(dirname "$0")/linux_run.sh"
for f in "$linux/zelmarusb" "$linux/sc.exe" "$windows/zelmarusb.exe"; do
  if [ ! -e "$f" ]; then
    echo "missing $f: build both legs first (make test builds the Linux leg before the Windows one)" >&2
    exit 1
  fi
done
work=$(mktemp -d /tmp/zelmusb-same-as-linux.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Waits up to $2 seconds for the file $1.
wait_for() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# --- Linux ---------------------------------------------------------------------------------------
mkdir -p "$work/linux/root" "$work/linux/data"
cp "$machine" "$work/linux/root/machine.json"
export ZELMUSB_PLATFORM_ROOT=$work/linux/root ALLUSERSPROFILE=$work/linux/data ZELMUSB_TRACE_FILE=$work/linux/trace
case $mode in
  gud)
    "$linux/zelmarusb" "/gud:$work/linux/list.json" >/dev/null
    linux_list=$work/linux/list.json
    ;;
  initial)
    "$linux/zelmarusb" /start >/dev/null 2>&1 &
    pid=$!
    linux_list=$work/linux/data/halvar/zelmusb/current_usb.json
    wait_for "$linux_list" 60
    stop_linux_run $pid
    ;;
  *)
    echo "mode gud or initial" >&2
    exit 2
    ;;
esac
unset ZELMUSB_PLATFORM_ROOT ALLUSERSPROFILE ZELMUSB_TRACE_FILE
if [ ! -s "$linux_list" ]; then
  echo "the Linux build wrote no list; its trace:" >&2
  cat "$work/linux/trace" >&2
  exit 1
fi

echo "Linux build: $SECONDS s"
# --- Windows under Wine -------------------------------------------------------------------------
mkdir -p "$work/windows"
export ZELMUSB_WINE_BUILD=$windows ZELMUSB_WINE_MACHINE_TRACE=$work/windows/trace
case $mode in
  gud)
    windows_list=$work/windows/list.json
    "$source_dir/scripts/wine-machine" "$machine" "$windows/zelmarusb.exe" "/gud:Z:${windows_list//\//\\}"
    ;;
  initial)
    windows_list=$work/windows/current_usb.json
    # shellcheck disable=SC2016
    "$source_dir/scripts/wine-machine" --shell "$machine" "$windows/zelmarusb.exe" '
      "$WINE" "$ZELMUSB_WINE_MACHINE_PROGRAM" /start &
      list=$ZELMUSB_WINE_MACHINE_DATA/zelmusb/current_usb.json
      for ((i = 0; i < 600; i++)); do [ -s "$list" ] && break; sleep 0.1; done
      cp "$list" '"'$windows_list'"' 2>/dev/null
      # (The prefix is thrown away with the run: wine-machine ends its processes.)
      "$WINE" "$ZELMUSB_WINE_MACHINE_PROGRAM" /stop'
    ;;
esac
if [ ! -s "$windows_list" ]; then
  echo "the Windows build wrote no list; its trace:" >&2
  cat "$work/windows/trace" >&2
  exit 1
fi

if ! cmp "$linux_list" "$windows_list"; then
  echo "--- Linux build:" >&2
  cat "$linux_list" >&2
  echo "--- Windows build under Wine:" >&2
  cat "$windows_list" >&2
  echo "--- Windows trace:" >&2
  cat "$work/windows/trace" >&2
  exit 1
fi
echo "same $(wc -c <"$linux_list") bytes from both builds (both done at $SECONDS s)"
