# Sourced by the Wine machine tests: ends a Linux run of the program started in the background as
# `pid` with `/stop` (the instance stops its driver within its next poll, 5 s; it is ended by
# force after 30 s), then stops and removes its driver's service, which the program leaves loaded
# as on Windows, so that nothing of the run stays behind. Uses $linux, the Linux build's programs.
stop_linux_run() {
  local pid=$1 i
  "$linux/zelmarusb" /stop >/dev/null 2>&1
  for ((i = 0; i < 300; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null
  wait "$pid"
  "$linux/sc.exe" stop ZelmUsb >/dev/null 2>&1
  for ((i = 0; i < 50; i++)); do
    "$linux/sc.exe" query ZelmUsb 2>/dev/null | grep -q 'STOPPED\|1060' && break
    sleep 0.1
  done
  "$linux/sc.exe" delete ZelmUsb >/dev/null 2>&1
}
