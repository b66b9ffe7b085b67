#!/usr/bin/env bash
# The stand-in setupapi.dll and cfgmgr32.dll of the Wine test machine export every function the
# program imports from SETUPAPI.dll and CFGMGR32.dll (a missing one would end the program at its
# first call under Wine, and only on the path that makes it).
#
#   imports_match.sh <program.exe> <folder of the stand-ins>
set -u
program=$1 standins=$2
objdump=x86_64-w64-mingw32-objdump
# The names imported from one DLL (case-insensitive DLL name), one a line, sorted.
imports() {
  "$objdump" -p "$program" | awk -v dll="$1" '
    /DLL Name:/ { on = (toupper($3) == toupper(dll)); next }
    on && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print $3 }
    on && /^$/ { on = 0 }' | sort -u
}
exports() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^$/ { on = 0 } on && /\[ *[0-9]+\]/ { print $NF }' | sort -u
}
status=0
for dll in setupapi cfgmgr32; do
  wanted=$(imports "$dll.dll")
  have=$(exports "$standins/$dll.dll")
  missing=$(comm -23 <(echo "$wanted") <(echo "$have") | grep -v '^$')
  if [ -n "$missing" ]; then
    echo "$dll.dll stand-in lacks: $missing" >&2
    status=1
  fi
  echo "$dll.dll: the program imports $(echo "$wanted" | grep -c .), the stand-in exports $(echo "$have" | grep -c .)"
done
# The program must import something from SETUPAPI.dll, or the check above proves nothing.
[ -n "$(imports SETUPAPI.dll)" ] || { echo "no SETUPAPI.dll imports found in $program" >&2; status=1; }
exit $status
