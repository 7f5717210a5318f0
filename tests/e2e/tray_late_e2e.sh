#!/usr/bin/env bash
# A tray host that starts after the application, as a panel autostarted at login often does: the
# application says once that there is no tray, and puts its icon up when the host appears.
# Xvfb without any XEmbed tray, a session bus of its own, a StatusNotifierItem host started late.
#   tray_late_e2e.sh <kestrine> <kestrine-setup> <fake-tray-host>
# Exit 77 (skipped) when the display tools are not installed.
set -euo pipefail
app=$1 setup=$2 host=$3
for tool in Xvfb xdpyinfo dbus-daemon; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps)"; exit 77; }
done

work=$(mktemp -d /tmp/kestrine-tray-XXXXXX)
export KESTRINE_ROOT=$work/root XDG_RUNTIME_DIR=$work
cp "$app" "$work/kestrine"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$KESTRINE_ROOT/run/QDDRIVER.pid" ] && kill "$(cat "$KESTRINE_ROOT/run/QDDRIVER.pid")" 2>/dev/null || true
  [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null || true
  sleep 0.3
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- kestrine"; cat "$work/kestrine.out" 2>/dev/null || true; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.1; done
}

"$setup" --ports COM1=modem >/dev/null
eval "$(dbus-daemon --session --fork --print-address=1 --print-pid=1 |
  { read -r address; read -r pid; echo "DBUS_SESSION_BUS_ADDRESS='$address' DBUS_SESSION_BUS_PID=$pid"; })"
export DBUS_SESSION_BUS_ADDRESS
display=$((100 + $$ % 400))
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=:$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 10 xdpyinfo || fail "no display"

"$work/kestrine" >"$work/kestrine.out" 2>&1 & pids+=($!)
wait_for 20 grep -q 'No system tray' "$work/kestrine.out" || fail "no word of the missing tray"
wait_for 10 grep -q 'No system tray' "$work/qdlog.log" || fail "the log does not say that no tray is there"

"$host" >"$work/host.out" 2>&1 & pids+=($!)
wait_for 20 grep -q '^registered' "$work/host.out" || fail "the icon never registered with the late host"
[ "$(grep -c 'No system tray' "$work/kestrine.out")" -eq 1 ] || fail "said more than once"
echo "no tray, said so once; the late host got the icon"
