#!/usr/bin/env bash
# package_test.sh <package build folder> [cmake arguments]: builds the Debian package with
# scripts/build-package and checks what it holds: the files and links (nothing outside /usr and
# /etc), the unit naming /usr's programs, the settings with protection off and marked as a
# configuration file, the dependencies dpkg-shlibdeps found, and maintainer scripts that reload
# systemd without enabling or starting the service. lintian, when installed, reports its tags;
# an error tag fails the test (the warnings left are explained in the README). The packaged
# programs run once on a model machine under strace: every system call within the unit's filter,
# and so do the suite's menu and monitor within theirs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
shift
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# denied_calls <unit file> <strace output...>: the system calls made that the unit's
# SystemCallFilter= lines (an allow list, then ~removals and additions) do not allow.
denied_calls() {
  python3 - "$@" <<'PY'
import re, subprocess, sys
def group(name):
    out = subprocess.run(['systemd-analyze', 'syscall-filter', name], capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines()[1:]:
        word = line.strip()
        if not word or word.startswith('#'):
            continue
        names |= group(word) if word.startswith('@') else {word}
    return names
def names(words):
    out = set()
    for w in words.split():
        out |= group(w) if w.startswith('@') else {w}
    return out
allowed = None
for line in re.findall(r'^SystemCallFilter=(.*)$', open(sys.argv[1]).read(), re.M):
    if line.startswith('~'):
        allowed -= names(line[1:])
    elif allowed is None:
        allowed = names(line)
    else:
        allowed |= names(line)
used = set()
for trace in sys.argv[2:]:
    for line in open(trace):
        m = re.match(r'^\d+\s+([a-z_0-9]+)\(', line)
        if m:
            used.add(m.group(1))
print(' '.join(sorted(used - allowed)))
PY
}

deb=$(ZELMUSB_PACKAGE_CMAKE_ARGS="$*" JOBS=2 "$here/../../scripts/build-package" "$build" | tail -n 1)
[ "$(basename "$deb")" = "zelmarusb_0.1.0_amd64.deb" ] || fail "the package is named $(basename "$deb")"

contents=$(dpkg-deb -c "$deb")
echo "$contents"
for f in ./usr/libexec/zelmusb/zelmarusb ./usr/libexec/zelmusb/zelmusb.sys ./usr/libexec/zelmusb/sc \
         ./usr/libexec/zelmusb/reg ./usr/libexec/zelmusb/usbsim ./usr/libexec/zelmusb/link-settings ./usr/libexec/zelmusb/uninstall-driver \
         ./usr/lib/systemd/system/zelmarusb.service ./usr/lib/systemd/system/zelmarusb-menu.service \
         ./usr/lib/systemd/system/zelmarusb-monitor.service ./usr/libexec/zelmusb/suite/halvarmenu.exe \
         ./usr/libexec/zelmusb/suite/halvarmon.exe ./usr/libexec/zelmusb/suite/zelmusb-notify ./etc/zelmarusb/cfg.json ./usr/share/doc/zelmarusb/copyright ./usr/share/doc/zelmarusb/changelog.gz \
         ./usr/share/man/man8/zelmarusb.8.gz; do
  grep -q " $f\$" <<<"$contents" || fail "no $f in the package"
done
grep -q " ./usr/bin/zelmarusb -> ../libexec/zelmusb/zelmarusb\$" <<<"$contents" || fail "no relative link /usr/bin/zelmarusb"
grep -q " ./usr/libexec/zelmusb/sc.exe -> sc\$" <<<"$contents" || fail "no link sc.exe"
stray=$(awk '{ print $6 }' <<<"$contents" | grep -v -e '^\./$' -e '^\./usr/' -e '^\./etc/' || true)
[ -z "$stray" ] || fail "files outside /usr and /etc: $stray"
owners=$(awk '{ print $2 }' <<<"$contents" | sort -u)
[ "$owners" = "root/root" ] || fail "files not owned by root: $owners"

control="$(mktemp -d)"
files="$(mktemp -d)"
trap 'rm -rf "$control" "$files"' EXIT
dpkg-deb -e "$deb" "$control"
dpkg-deb -x "$deb" "$files"
dpkg-deb -I "$deb"
[ "$(cat "$control/conffiles")" = "/etc/zelmarusb/cfg.json" ] || fail "conffiles: $(cat "$control/conffiles")"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libudev1 libsystemd0 'libssl3\|libssl3t64' libstdc++6; do
  grep -q "\(^\|, \)\($library\)\( \|,\|$\)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -q "asan\|ubsan" <<<"$depends" && fail "Depends names a sanitizer's library: $depends"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || { fail "no executable $script"; continue; }
  sh -n "$control/$script" || fail "$script is not a valid shell script"
  # systemctl only to reload, to restart what already runs, and (on removal) to stop and disable.
  calls=$(grep -v '^[[:space:]]*#' "$control/$script" | grep -o 'systemctl [a-z-]*\( --[a-z]*\)*' | sort -u || true)
  while read -r call; do
    case "$call" in
      "" | "systemctl daemon-reload" | "systemctl try-restart") ;;
      "systemctl disable --now") [ "$script" = prerm ] || fail "$script: $call" ;;
      *) fail "$script calls $call" ;;
    esac
  done <<<"$calls"
done
grep -q 'daemon-reload' "$control/postinst" || fail "postinst does not reload systemd"
grep -q 'rm -rf /var/lib/zelmusb' "$control/postrm" || fail "postrm does not remove /var/lib/zelmusb on purge"
grep -q '/usr/libexec/zelmusb/uninstall-driver' "$control/prerm" || fail "prerm does not uninstall the driver"
unit="$files/usr/lib/systemd/system/zelmarusb.service"
grep -qx "ExecStart=/usr/libexec/zelmusb/zelmarusb /start" "$unit" || fail "the packaged unit does not start /usr's program"
grep -qx "ExecStartPre=/usr/libexec/zelmusb/link-settings /etc/zelmarusb/cfg.json" "$unit" ||
  fail "the packaged unit does not link /etc/zelmarusb/cfg.json"
grep -q '"active": 0' "$files/etc/zelmarusb/cfg.json" || fail "the packaged settings do not keep protection off"
grep -qx "ExecStartPre=/usr/libexec/zelmusb/zelmusbctl check" "$unit" || fail "the packaged unit does not check the settings"
grep -q 'ZELMUSB_PLATFORM_ROOT=/var/lib/zelmusb' "$files/usr/bin/zelmusbctl" &&
  grep -q '"/usr/libexec/zelmusb/link-settings" "/etc/zelmarusb/cfg.json"' "$files/usr/bin/zelmusbctl" &&
  grep -q 'exec "/usr/libexec/zelmusb/zelmusbctl"' "$files/usr/bin/zelmusbctl" ||
  fail "/usr/bin/zelmusbctl does not speak to the installed service's machine"
# The settings the package brings pass the check the unit runs before every start.
"$files/usr/libexec/zelmusb/zelmusbctl" check "$files/etc/zelmarusb/cfg.json" >/dev/null ||
  fail "the packaged settings do not pass zelmusbctl check"
for program in zelmarusb zelmusb.sys; do
  if readelf -S "$files/usr/libexec/zelmusb/$program" | grep -q '\.symtab'; then fail "$program is not stripped"; fi
done

# --- the packaged programs within the unit's system call filter ------------------------------------
# A run of the Release programs on an empty model machine (no machine.json would be the running
# machine), followed with strace: /start with its driver, the settings read through the link
# link-settings makes, and /stop. Every system call made must be one the unit's
# SystemCallFilter= allows, or the service would fail with EPERM where this run did not.
if command -v systemd-analyze >/dev/null && command -v strace >/dev/null; then
  machine="$(mktemp -d)"
  trap 'rm -rf "$control" "$files" "$machine"' EXIT
  echo '{"controllers": []}' >"$machine/machine.json"
  printf '{"usb": {"active": 1, "action": 1, "rules": []}}\n' >"$machine/settings.json"
  (
    export ZELMUSB_PLATFORM_ROOT="$machine/root" ZELMUSB_TRACE_FILE="$machine/trace"
    mkdir -m 0700 "$machine/root" && mv "$machine/machine.json" "$machine/root/"
    "$here/../../packaging/link-settings" "$machine/settings.json"
    strace -f -qq -o "$machine/strace" "$build/zelmarusb" /start &
    started=0
    for _ in $(seq 300); do
      if grep -q 'Driver started\.' "$machine/trace" 2>/dev/null; then started=1; break; fi
      sleep 0.1
    done
    [ "$started" = 1 ] || echo "FAIL: /start did not start its driver: $(cat "$machine/trace" 2>/dev/null)" >&2
    "$build/zelmarusb" /stop
    for _ in $(seq 400); do
      grep -q 'Exit\.' "$machine/trace" && break
      sleep 0.1
    done
    # The driver outlives /stop, as it does under the unit; strace ends with it.
    "$build/tools/sc" stop ZelmUsb >/dev/null 2>&1 || true
    wait
    "$build/tools/sc" delete ZelmUsb >/dev/null 2>&1 || true
    [ "$started" = 1 ]
  ) || fail "the program's run on a model machine failed"
  grep -q 'active *: 1' "$machine/trace" || fail "the settings were not read through link-settings' link"
  denied=$(denied_calls "$unit" "$machine/strace")
  [ -z "$denied" ] || fail "system calls the unit's filter denies: $denied"

  # The suite's menu and monitor, in the same way: the packaged programs under strace through the
  # end-to-end cases of tests/peers (a device asked on a private desktop, allowed, blocked, closed;
  # the rules stored and the program told), then every call within their units' filters.
  if [ "$(id -u)" = 0 ] && command -v dbus-daemon >/dev/null && /usr/bin/python3 -c 'import dbusmock' 2>/dev/null; then
    wrapped="$machine/wrapped"
    mkdir -p "$wrapped/peers"
    for f in zelmarusb tools; do ln -s "$(cd "$build" && pwd)/$f" "$wrapped/$f"; done
    for p in halvarmenu.exe halvarmon.exe; do
      printf '#!/bin/sh\nexec strace -f -qq -o "%s/%s.strace.$$" "%s/peers/%s" "$@"\n' \
        "$wrapped" "$p" "$(cd "$build" && pwd)" "$p" >"$wrapped/peers/$p"
      chmod +x "$wrapped/peers/$p"
    done
    /usr/bin/python3 "$here/../peers/peers_test.py" "$wrapped" EndToEndTest >"$machine/peers.log" 2>&1 ||
      fail "the packaged menu and monitor failed their end-to-end cases: $(tail -n 30 "$machine/peers.log")"
    for p in menu:halvarmenu.exe monitor:halvarmon.exe; do
      traces=("$wrapped/${p#*:}".strace.*)
      [ -e "${traces[0]}" ] || { fail "no system calls of the packaged ${p#*:} were followed"; continue; }
      denied=$(denied_calls "$files/usr/lib/systemd/system/zelmarusb-${p%%:*}.service" "${traces[@]}")
      [ -z "$denied" ] || fail "system calls the ${p%%:*}'s unit filter denies: $denied"
      echo "the packaged ${p#*:}: $(cat "${traces[@]}" | wc -l) system calls followed, every one within its unit's filter"
    done
  else
    echo "the menu's and monitor's system calls were not followed (they need root, dbus-daemon and python3-dbusmock)"
  fi
fi

if command -v lintian >/dev/null; then
  tags=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v "^running with root privileges" || true)
  echo "lintian:"
  echo "${tags:-  no tags}"
  if grep -q '^E: ' <<<"$tags"; then fail "lintian reports errors"; fi
else
  echo "lintian is not installed: the package's tags were not checked (scripts/install-deps installs it)"
fi

[ "$failures" -eq 0 ] || exit 1
echo "package: every check held"
