#!/usr/bin/env bash
# install_test.sh <build folder> <scratch folder>: the CMake installation of a build.
# - `cmake --install --prefix <p>` writes below <p> only (every file the installation writes or
#   links, followed with strace; the build's own folder aside), and the unit names <p>'s programs;
# - the links are relative and lead to the programs; the settings file is there with protection
#   off, and a second installation keeps the administrator's edit;
# - DESTDIR with the prefix /usr stages what the package holds (/etc/zelmarusb/cfg.json, units
#   naming /usr) below DESTDIR only;
# - link-settings points the service machine's settings copy at the file under /etc, and keeps
#   a file of the administrator's own;
# - uninstall-driver stops and deletes a running driver (on an empty model machine);
# - the suite's menu and monitor are installed with their units, which name <p>'s programs and
#   settings and come with the program's unit;
# - systemd-analyze verifies the installed units and rates each at most 4.0 (their figures printed).
set -euo pipefail
build="$(cd "$1" && pwd)"
scratch="$2"
rm -rf "$scratch"
mkdir -p "$scratch"
scratch="$(cd "$scratch" && pwd)"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- a prefix: nothing written outside it ------------------------------------------------------
prefix="$scratch/prefix"
trace="$scratch/install.strace"
strace -f -qq -y -o "$trace" \
  -e trace=open,openat,creat,mkdir,mkdirat,symlink,symlinkat,link,linkat,rename,renameat,renameat2,unlink,unlinkat,rmdir,chmod,fchmodat,chown,fchownat,lchown,utimensat,truncate \
  cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
# Every path a successful call wrote to: an open for writing or creating, or a call that makes,
# removes, renames, links or changes a name (a link's target text is not a path written). A name
# relative to a folder descriptor is joined to that folder (strace -y), one relative to the
# current folder to the current folder.
outside=$(python3 - "$trace" "$PWD" "$prefix" "$build" <<'PY'
import re, sys
trace, cwd, prefix, build = sys.argv[1:]
call = re.compile(r'^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')
arg = re.compile(r'(\d+<([^>]*)>|AT_FDCWD)?,?\s*"((?:[^"\\]|\\.)*)"')
for line in open(trace):
    m = call.match(line)
    if not m or m.group(3).startswith('-'):
        continue
    name, args = m.group(1), m.group(2)
    if name in ('open', 'openat') and not re.search(r'O_WRONLY|O_RDWR|O_CREAT|O_TRUNC', args):
        continue
    found = [(d, p) for _, d, p in arg.findall(args)]
    if name in ('symlink', 'symlinkat'):
        found = found[1:]
    for folder, path in found:
        if not path.startswith('/'):
            path = (folder or cwd) + '/' + path
        if not (path == prefix or path.startswith(prefix + '/') or path.startswith(build + '/') or path == '/dev/null'):
            print(path)
PY
)
[ -z "$outside" ] || fail "the installation with --prefix wrote outside the prefix:"$'\n'"$outside"
[ -x "$prefix/libexec/zelmusb/zelmarusb" ] || fail "no program in $prefix/libexec/zelmusb"
unit="$prefix/lib/systemd/system/zelmarusb.service"
[ -f "$unit" ] || fail "no unit at $unit"
grep -qx "ExecStart=$prefix/libexec/zelmusb/zelmarusb /start" "$unit" || fail "the unit does not start $prefix's program"
grep -qx "ExecStop=$prefix/libexec/zelmusb/zelmarusb /stop" "$unit" || fail "the unit does not stop with $prefix's program"
grep -qx "ExecStartPre=$prefix/libexec/zelmusb/link-settings $prefix/etc/zelmarusb/cfg.json" "$unit" ||
  fail "the unit does not link $prefix's settings"
if grep -n "@[A-Z_]*@" "$unit"; then fail "a placeholder is left in the unit"; fi
menu_unit="$prefix/lib/systemd/system/zelmarusb-menu.service"
monitor_unit="$prefix/lib/systemd/system/zelmarusb-monitor.service"
for p in suite/halvarmenu.exe suite/halvarmon.exe suite/zelmusb-notify; do
  [ -x "$prefix/libexec/zelmusb/$p" ] || fail "no $p in $prefix/libexec/zelmusb"
done
grep -qx "ExecStart=$prefix/libexec/zelmusb/suite/halvarmenu.exe" "$menu_unit" || fail "the menu's unit does not start $prefix's menu"
grep -qx "ExecStart=$prefix/libexec/zelmusb/suite/halvarmon.exe --settings $prefix/etc/zelmarusb/cfg.json" "$monitor_unit" ||
  fail "the monitor's unit does not serve $prefix's settings"
grep -qx "ReadWritePaths=$prefix/etc/zelmarusb" "$monitor_unit" || fail "the monitor may not write $prefix's settings folder"
grep -qx "Wants=zelmarusb-monitor.service zelmarusb-menu.service" "$unit" || fail "the program's unit does not bring the menu and monitor"
if grep -n "@[A-Z_]*@" "$menu_unit" "$monitor_unit"; then fail "a placeholder is left in a unit"; fi
for link in "bin/zelmarusb:../libexec/zelmusb/zelmarusb" "libexec/zelmusb/sc.exe:sc"; do
  name="${link%%:*}" target="${link#*:}"
  [ "$(readlink "$prefix/$name")" = "$target" ] || fail "$name links to '$(readlink "$prefix/$name")', not $target"
  [ -x "$prefix/$name" ] || fail "$name leads to no program"
done
settings="$prefix/etc/zelmarusb/cfg.json"
grep -q '"active": 0' "$settings" || fail "the installed settings do not keep protection off"
grep -qx "$settings" "$build/install_manifest.txt" || fail "the settings file is not in install_manifest.txt"
grep -qx "$prefix/bin/zelmarusb" "$build/install_manifest.txt" || fail "the link is not in install_manifest.txt"
echo '{"usb": {"active": 1}}' >"$settings"
cmake --install "$build" --prefix "$prefix" >/dev/null
[ "$(cat "$settings")" = '{"usb": {"active": 1}}' ] || fail "a second installation replaced the administrator's settings"

# --- DESTDIR and the system's prefix: the package's layout, below DESTDIR only -----------------
stage="$scratch/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
for f in usr/libexec/zelmusb/zelmarusb usr/libexec/zelmusb/zelmusb.sys usr/libexec/zelmusb/link-settings usr/libexec/zelmusb/uninstall-driver \
         usr/lib/systemd/system/zelmarusb.service usr/lib/systemd/system/zelmarusb-menu.service \
         usr/lib/systemd/system/zelmarusb-monitor.service usr/libexec/zelmusb/suite/halvarmenu.exe \
         usr/libexec/zelmusb/suite/halvarmon.exe etc/zelmarusb/cfg.json usr/share/doc/zelmarusb/copyright; do
  [ -e "$stage/$f" ] || fail "DESTDIR: no $f"
done
grep -qx "ExecStart=/usr/libexec/zelmusb/zelmarusb /start" "$stage/usr/lib/systemd/system/zelmarusb.service" ||
  fail "DESTDIR: the unit does not name /usr's program"
grep -qx "ExecStartPre=/usr/libexec/zelmusb/link-settings /etc/zelmarusb/cfg.json" \
  "$stage/usr/lib/systemd/system/zelmarusb.service" || fail "DESTDIR: the unit does not link /etc/zelmarusb/cfg.json"
grep -qx "ExecStart=/usr/libexec/zelmusb/suite/halvarmon.exe --settings /etc/zelmarusb/cfg.json" \
  "$stage/usr/lib/systemd/system/zelmarusb-monitor.service" || fail "DESTDIR: the monitor does not serve /etc/zelmarusb/cfg.json"
[ -z "$(ls -A "$stage" | grep -v -x -e usr -e etc)" ] || fail "DESTDIR: more than usr and etc: $(ls "$stage")"

# --- link-settings -----------------------------------------------------------------------------
root="$scratch/machine"
copy="$root/ProgramData/halvar/cfg/cfg.json"
ZELMUSB_PLATFORM_ROOT="$root" "$prefix/libexec/zelmusb/link-settings" "$settings"
[ "$(readlink "$copy")" = "$settings" ] || fail "link-settings: the copy does not lead to the settings"
ZELMUSB_PLATFORM_ROOT="$root" "$prefix/libexec/zelmusb/link-settings" /elsewhere/cfg.json 2>/dev/null
[ "$(readlink "$copy")" = /elsewhere/cfg.json ] || fail "link-settings: an earlier link was not replaced"
rm "$copy"
echo '{"usb": {"active": 1, "action": 0}}' >"$copy"
said=$(ZELMUSB_PLATFORM_ROOT="$root" "$prefix/libexec/zelmusb/link-settings" "$settings" 2>&1)
[ "$(cat "$copy")" = '{"usb": {"active": 1, "action": 0}}' ] || fail "link-settings replaced the administrator's own file"
case "$said" in *"is a file of its own"*) ;; *) fail "link-settings kept the file without saying so: $said" ;; esac

# --- uninstall-driver, on an empty model machine (no machine.json would be the running machine) ---
driver_machine="$scratch/driver-machine"
mkdir -p "$driver_machine"
echo '{"controllers": []}' >"$driver_machine/machine.json"
(
  export ZELMUSB_PLATFORM_ROOT="$driver_machine" ZELMUSB_TRACE_FILE="$scratch/driver.trace"
  sc="$prefix/libexec/zelmusb/sc"
  said=$("$prefix/libexec/zelmusb/uninstall-driver") || fail "uninstall-driver without a driver failed: $said"
  case "$said" in *"no driver service"*) ;; *) fail "uninstall-driver without a driver said: $said" ;; esac
  "$sc" create ZelmUsb binpath= "$prefix/libexec/zelmusb/zelmusb.sys" type= kernel >/dev/null
  "$sc" start ZelmUsb >/dev/null || fail "the installed driver did not start"
  pid=$(pgrep -f -x "$prefix/libexec/zelmusb/zelmusb.sys" || true)
  "$prefix/libexec/zelmusb/uninstall-driver" >/dev/null || fail "uninstall-driver failed"
  "$sc" query ZelmUsb >/dev/null 2>&1 && fail "uninstall-driver left the driver service"
  # Ended (a zombie left for the machine's first process to reap counts as ended).
  for _ in $(seq 50); do
    [ -n "$pid" ] && ps -o stat= -p "$pid" | grep -qv '^Z' || break
    sleep 0.1
  done
  if [ -n "$pid" ] && ps -o stat= -p "$pid" | grep -qv '^Z'; then
    fail "uninstall-driver left the driver running (process $pid)"
    kill "$pid"
  fi
  grep -q "\[ODS\]\[[0-9a-f]\{8\}\]  zelmusb.sys:0 -> .*"$'\r'"\$" "$scratch/driver.trace" ||
    fail "the driver's trace lines lack the trace's form: $(cat "$scratch/driver.trace")"
  exit "$failures"
) || failures=$((failures + $?))

# --- the unit, as systemd reads it ---------------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
  for u in "$unit" "$menu_unit" "$monitor_unit"; do
    if ! verified=$(systemd-analyze verify "$u" 2>&1) || [ -n "$verified" ]; then
      fail "systemd-analyze verify ${u##*/}: $verified"
    fi
    rating=$(systemd-analyze security --offline=yes --no-pager "$u" 2>&1 | grep 'Overall exposure level' || true)
    echo "${u##*/}: $rating"
    exposure=$(sed -n 's/.*: \([0-9.]*\) .*/\1/p' <<<"$rating")
    if [ -z "$exposure" ] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 4.0) }'; then
      fail "${u##*/}: exposure ${exposure:-unknown}, more than 4.0"
    fi
  done
else
  fail "systemd-analyze is missing (the systemd package; scripts/install-deps)"
fi

[ "$failures" -eq 0 ] || exit 1
echo "install: every check held"
