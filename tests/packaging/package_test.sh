#!/usr/bin/env bash
# package_test.sh <package build folder> [cmake arguments]: builds the Debian package with
# scripts/build-package and checks what it holds: the files and links (nothing outside /usr and
# /etc), the unit naming /usr's programs, the settings with protection off and marked as a
# configuration file, the dependencies dpkg-shlibdeps found, and maintainer scripts that reload
# systemd without enabling or starting the service. lintian, when installed, reports its tags;
# an error tag fails the test (the warnings left are explained in the README).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
shift
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

deb=$(ZELMUSB_PACKAGE_CMAKE_ARGS="$*" JOBS=2 "$here/../../scripts/build-package" "$build" | tail -n 1)
[ "$(basename "$deb")" = "zelmarusb_0.1.0_amd64.deb" ] || fail "the package is named $(basename "$deb")"

contents=$(dpkg-deb -c "$deb")
echo "$contents"
for f in ./usr/libexec/zelmusb/zelmarusb ./usr/libexec/zelmusb/zelmusb.sys ./usr/libexec/zelmusb/sc \
         ./usr/libexec/zelmusb/reg ./usr/libexec/zelmusb/usbsim ./usr/libexec/zelmusb/link-settings ./usr/libexec/zelmusb/uninstall-driver \
         ./usr/lib/systemd/system/zelmarusb.service ./etc/zelmarusb/cfg.json ./usr/share/doc/zelmarusb/copyright ./usr/share/doc/zelmarusb/changelog.gz \
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
for library in libc6 libudev1 'libssl3\|libssl3t64' libstdc++6; do
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
for program in zelmarusb zelmusb.sys; do
  if readelf -S "$files/usr/libexec/zelmusb/$program" | grep -q '\.symtab'; then fail "$program is not stripped"; fi
done

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
