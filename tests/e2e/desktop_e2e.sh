#!/usr/bin/env bash
# The road of one refused number, as a person sees it: the real application on a real X display
# (Xvfb with the icewm tray host), the real driver, picocom dialling through COM1 (the log and
# the alert name it), then ppp's chat connecting once the number is allowed.
#   desktop_e2e.sh <kestrine> <kestrine-setup> [screenshot.png]
# Exit 77 (skipped) when the display tools are not installed.
set -euo pipefail
app=$1 setup=$2 shot=${3:-}
for tool in Xvfb icewm xdotool import xdpyinfo xprop; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps)"; exit 77; }
done
chat=$(command -v chat || echo /usr/sbin/chat)
[ -x "$chat" ] || { echo "SKIP: chat (package ppp) is missing"; exit 77; }
picocom=$(command -v picocom) || { echo "SKIP: picocom is missing"; exit 77; }

work=$(mktemp -d /tmp/kestrine-e2e-XXXXXX)
export KESTRINE_ROOT=$work/root XDG_RUNTIME_DIR=$work
cp "$app" "$work/kestrine"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$KESTRINE_ROOT/run/QDDRIVER.pid" ] && kill "$(cat "$KESTRINE_ROOT/run/QDDRIVER.pid")" 2>/dev/null || true
  sleep 0.3
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- log"; cat "$work/qdlog.log" 2>/dev/null || true; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.1; done
}
dial() { "$chat" -t 5 ABORT 'NO CARRIER' '' ATZ OK "ATDT$1" CONNECT '' <>"$KESTRINE_ROOT/dev/COM1" >&0; }

"$setup" --ports COM1=modem >/dev/null
display=$((100 + $$ % 400))
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=:$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 10 xdpyinfo || fail "no display"
icewm >/dev/null 2>&1 & pids+=($!)
"$work/kestrine" >"$work/kestrine.out" 2>&1 & pids+=($!)
wait_for 20 test -e "$KESTRINE_ROOT/dev/COM1" || fail "the driver did not come up"

# picocom stays on the port for a while after NO CARRIER, so the driver finds it whatever the load.
"$picocom" -q -b 9600 -t $'ATDT0900123456\r' -x 3000 "$KESTRINE_ROOT/dev/COM1" </dev/null \
  >"$work/picocom.out" 2>&1 &
dialler=$!
wait "$dialler" || true
grep -q 'NO CARRIER' "$work/picocom.out" || fail "a number not allowed did not get NO CARRIER"
wait_for 10 grep -q ': 0900123456 blocked' "$work/qdlog.log" || fail "no 'blocked' line"
named="dialled by $(readlink -f "$picocom") (process $dialler, user $(id -un))"
grep -A1 ': 0900123456 blocked' "$work/qdlog.log" | tail -1 | grep -qF ": $named, command line" ||
  fail "the line after 'blocked' does not say '$named'"
wait_for 10 xdotool search --name 'Kestrine - Number Blocked' || fail "no alert window"
alert=$(xdotool search --name 'Kestrine - Number Blocked' | head -1)
eval "$(xdotool getwindowgeometry --shell "$alert")"
[ "$WIDTH" -eq 427 ] && [ "$HEIGHT" -eq 153 ] || fail "alert of ${WIDTH}x$HEIGHT"
# No task-bar button of its own.
wait_for 5 sh -c "xprop -id $alert _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR" ||
  fail "the alert asks for a task-bar button: $(xprop -id "$alert" _NET_WM_STATE)"
# The line under the number (client 92,62, 319x15) has text in it: dark pixels on the face.
line_drawn() {
  [ "$(import -window root -crop "319x15+$((X + 92))+$((Y + 62))" png:- |
    convert png:- -colorspace gray -format '%[fx:int(255*minima)]' info:)" -lt 100 ]
}
wait_for 5 line_drawn || fail "no line under the number in the alert"
[ -n "$shot" ] && import -window root -crop "$((WIDTH + 12))x$((HEIGHT + 34))+$((X - 6))+$((Y - 28))" "$shot"

# Allow (parental control is in its initial state, so no PIN is asked).
xdotool mousemove $((X + 262 + 37)) $((Y + 118 + 12)) click 1
wait_for 10 grep -q ': 0900123456 added to allow list.' "$work/qdlog.log" || fail "Allow did not add the number"
wait_for 10 sh -c "! xdotool search --name 'Kestrine - Number Blocked'" || fail "the alert stayed open"

status=0; dial 0900123456 || status=$?
[ "$status" -eq 0 ] || fail "the allowed number gave chat exit $status, not 0 (CONNECT)"

# The display going away is the end of the session: the orderly stop runs as on SIGTERM.
app_pid=${pids[2]}
kill "${pids[0]}"
gone() { [ ! -e "/proc/$app_pid" ] || grep -q '^State:.*Z' "/proc/$app_pid/status"; }
wait_for 30 gone || fail "kestrine outlived its display"
status=0; wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "kestrine ended with status $status when the display went: $(cat "$work/kestrine.out")"
grep -q 'the display is gone' "$work/kestrine.out" || fail "no orderly stop when the display went"
echo "refused, alerted, allowed, connected; stopped in order when the display went"
