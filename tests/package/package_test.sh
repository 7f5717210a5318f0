#!/usr/bin/env bash
# The package as a person uses it on a real machine: build the .deb, install it with apt, start the
# driver as its unit's ExecStart and capability bounding set say (systemd does not run here), log
# a member of group kestrine in (the tray application from the autostart entry, on an X display
# with a tray host), map COM1 to the virtual modem and COM2 to a stand-in real modem (a socat
# pseudo-terminal, which only an explicit --any-tty maps), and then as that member: a refused
# dial, its log line with the member's program named and its alert, the stand-in held
# exclusively (an opening made before the attach revoked, a FIFO planted as its lock file not
# waited on); a user outside kestrine kept from the driver; the number allowed and a PIN set
# through the windows; reinstall and upgrade keeping the store, and an upgrade over a store that
# is not Kestrine's; purge leaving nothing. Also: the service protecting with nobody logged in
# (an allowed dial connects, a refused one is refused, journaled, shown by kestrine-ctl and
# logged by the first application later), two applications at once, and kestrine-ctl as root, a
# member and an outsider. Before the driver runs, the member meets the
# driver-installation message in the log. Undoes everything it did, whatever happens.
#   tests/package/package_test.sh [DEB]     (without DEB it runs scripts/package first)
# Exit 0 with "SKIP: ..." where it may not change the machine.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
skip() { echo "SKIP: package test: $*"; exit 0; }

[ "$(id -u)" -eq 0 ] || skip "it installs a package and adds users, which needs root"
command -v apt-get >/dev/null && command -v dpkg >/dev/null || skip "no apt-get/dpkg on this machine"
if dpkg-query -W -f='${Status}' kestrine 2>/dev/null | grep -q "installed"; then
  skip "a kestrine package is installed here already; the test does not touch it"
fi
[ ! -e /var/lib/kestrine ] && [ ! -e /var/log/kestrine ] ||
  skip "/var/lib/kestrine or /var/log/kestrine exists already; the test does not touch them"
for tool in Xvfb icewm xdotool xdpyinfo socat picocom sqlite3 setpriv useradd; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps)"
done
chat=$(command -v chat || echo /usr/sbin/chat)
[ -x "$chat" ] || skip "chat (package ppp) is missing"

deb=${1:-}
if [ -z "$deb" ]; then
  "$repo/scripts/package"
  deb=$(ls -t "$repo"/build/kestrine_*.deb | head -1)
fi
deb=$(realpath "$deb")

root=/var/lib/kestrine
log=/var/log/kestrine/qdlog.log
unit=/lib/systemd/system/kestrine-driver.service
work=$(mktemp -d /tmp/kestrine-package-XXXXXX)
chmod 755 "$work"
member=kqm$$ second=kqs$$ outsider=kqo$$
group_existed=no
getent group kestrine >/dev/null && group_existed=yes
pids=() users=() made_dirs=() planted_fifo=""

apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@"; }
cleanup() {
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  if dpkg-query -W -f='${Status}' kestrine 2>/dev/null | grep -q "installed\|config-files"; then
    apt_get purge kestrine >/dev/null 2>&1
  fi
  [ -n "$planted_fifo" ] && [ -p "$planted_fifo" ] && rm -f "$planted_fifo"
  for user in "${users[@]}"; do userdel "$user" 2>/dev/null; done
  for dir in "${made_dirs[@]}"; do rmdir "$dir" 2>/dev/null; done
  [ "$group_existed" = yes ] || ! getent group kestrine >/dev/null || groupdel kestrine
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: package test: $*"
  echo "--- $log"; cat "$log" 2>/dev/null | tail -n 20
  echo "--- driver"; cat "$work/driver.out" 2>/dev/null | tail -n 20
  echo "--- tray application"; cat "$work/kestrine.out" 2>/dev/null | tail -n 20
  exit 1
}
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.1; done
}
check_mode() {  # check_mode PATH OWNER:GROUP MODE
  local got
  got=$(stat -c '%U:%G %a' "$1") || fail "$1 is missing"
  [ "$got" = "$2 $3" ] || fail "$1 is $got, not $2 $3"
}
as() {  # as USER COMMAND...: runs COMMAND as USER with that user's groups
  local user=$1; shift
  # In a subshell (as ... &) the command takes the subshell's place, so that $! is its PID.
  local exec=""
  [ "$BASHPID" = "$$" ] || exec=exec
  $exec setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups --reset-env \
    env HOME="$work/$user" XDG_RUNTIME_DIR="$work/$user" DISPLAY="${DISPLAY:-}" PATH=/usr/bin:/bin:/usr/sbin "$@"
}
store() {  # the whole store, value by value
  sqlite3 -readonly "$root/registry.db" "SELECT v.name, v.type, hex(v.data) FROM reg_value v ORDER BY v.id"
}

echo "Installing $(basename "$deb")"
apt_get install "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install failed"; }

# The installed files and who may use them.
[ "$(readlink -f /usr/bin/kestrine)" = /usr/lib/kestrine/kestrine ] || fail "/usr/bin/kestrine does not start the program"
[ -x /usr/lib/kestrine/kestrine ] && [ -f /usr/lib/kestrine/qdhelp.hlp ] || fail "the program folder is incomplete"
[ "$(readlink /usr/lib/kestrine/qdlog.log)" = "$log" ] || fail "qdlog.log beside the program is no link to $log"
[ -x /usr/sbin/kestrine-setup ] || fail "kestrine-setup is not in /usr/sbin"
[ -x /usr/bin/kestrine-ctl ] || fail "kestrine-ctl is not in /usr/bin"
for binary in /usr/sbin/kestrine-setup /usr/bin/kestrine-ctl /usr/lib/kestrine/kestrine /usr/libexec/kestrine/qddriver; do
  ! grep -qF -e "$repo" -e "/obj-" "$binary" || fail "$binary names the tree it was built in"
done
getent group kestrine >/dev/null || fail "no group kestrine"
check_mode "$root" root:kestrine 3771
check_mode "$root/registry.db" root:kestrine 660
check_mode "$root/drivers/QDDRIVER.sys" root:root 755
cmp -s "$root/drivers/QDDRIVER.sys" /usr/libexec/kestrine/qddriver || fail "the driver image is not the packaged one"
check_mode /var/log/kestrine root:kestrine 3770
check_mode "$log" root:kestrine 660
systemd-analyze verify "$unit" >"$work/verify.txt" 2>&1 || { cat "$work/verify.txt"; fail "systemd-analyze verify $unit"; }
desktop-file-validate /usr/share/applications/kestrine.desktop /etc/xdg/autostart/kestrine.desktop ||
  fail "desktop entries do not validate"
[ -f /usr/share/icons/hicolor/scalable/apps/kestrine.svg ] || fail "no icon in the hicolor theme"

# A member of kestrine and dialout, and a user of dialout only.
useradd -M -N -g users -G kestrine,dialout -s /bin/sh "$member"; users+=("$member")
useradd -M -N -g users -G dialout -s /bin/sh "$outsider"; users+=("$outsider")
useradd -M -N -g users -G kestrine,dialout -s /bin/sh "$second"; users+=("$second")
for user in "$member" "$outsider"; do install -d -m 700 -o "$user" "$work/$user"; done

# The stand-in for a real modem, usable by dialout until the driver holds it.
socat PTY,link="$work/standin",rawer,group=dialout,perm=0660 PTY,link="$work/standin-far",rawer \
  >/dev/null 2>&1 & pids+=($!)
wait_for 5 test -e "$work/standin" || fail "socat made no pseudo-terminal"
as "$member" sh -c "exec 3<>$work/standin" || fail "the member cannot open the stand-in even before it is held"
# udev is not installed here: its rules folder is made for the test (and removed again).
for dir in /etc/udev /etc/udev/rules.d; do
  [ -d "$dir" ] || { mkdir "$dir"; made_dirs=("$dir" "${made_dirs[@]}"); }
done
# The stand-in is a pseudo-terminal, no serial port: only root's explicit --any-tty maps it.
kestrine-setup --ports "COM1=modem,COM2=$work/standin" >"$work/setup.txt" 2>&1 &&
  fail "kestrine-setup mapped a pseudo-terminal without --any-tty"
grep -q "not a serial port. To serve another terminal" "$work/setup.txt" ||
  fail "kestrine-setup did not say why it refused the stand-in: $(cat "$work/setup.txt")"
kestrine-setup --ports "COM1=modem,COM2=$work/standin" --any-tty >"$work/setup.txt" ||
  fail "kestrine-setup --ports --any-tty"
# The map is root's alone: a member writes the store, never what the root driver opens.
check_mode "$root/drivers/QDDRIVER.ports" root:root 644
as "$member" sh -c "echo 'COM3 any-tty /dev/console' >>$root/drivers/QDDRIVER.ports" 2>/dev/null &&
  fail "a member changed the port map"
grep -q "no rule: udev does not manage" /etc/udev/rules.d/70-kestrine.rules ||
  fail "the udev rules do not say why the stand-in has no rule"

# The member's display, with a tray host.
display=$((100 + $$ % 400))
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=:$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 10 xdpyinfo || fail "no display"
as "$member" icewm >/dev/null 2>&1 & pids+=($!)
autostart=$(sed -n 's/^Exec=//p' /etc/xdg/autostart/kestrine.desktop)

# While the service is down, a member (no administrator) gets the driver-installation message in
# the log, and starts no driver of their own.
as "$member" $autostart >"$work/kestrine.out" 2>&1 & pids+=($!)
app=$!
wait_for 20 grep -q ': Unable to access device driver: Error: You must have administrative priviledges to install QDDRIVER device driver' "$log" ||
  fail "a member met no driver-installation message while the service was down"
[ ! -e "$root/device/QDDRIVER.sock" ] || fail "a member started a driver"
kill "$app"; wait_for 10 sh -c "! kill -0 $app" || fail "the tray application did not end"

# Before the driver holds the stand-in: a member's program that opened it already, and a FIFO an
# outsider planted as its lock file (which hung the driver's attach before).
as "$member" sh -c "exec 3<>$work/standin; echo opened; while printf x >&3; do sleep 0.2; done; echo revoked" \
  >"$work/early.out" 2>&1 & pids+=($!)
wait_for 5 grep -q opened "$work/early.out" || fail "the member's early opener did not open the stand-in"
lock=/run/lock/LCK..$(basename "$(readlink -f "$work/standin")")
[ ! -e "$lock" ] || fail "$lock exists already"
as "$outsider" mkfifo -m 666 "$lock" || fail "the outsider could not plant a FIFO in /run/lock"
planted_fifo=$lock

# The driver, as the unit starts it: with no more of root's capabilities than the unit leaves it.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
capabilities=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
[ -n "$capabilities" ] || fail "the unit keeps no capability bounding set"
env -u KESTRINE_ROOT setsid setpriv --bounding-set="-all,$capabilities" $exec_start \
  >"$work/driver.out" 2>&1 </dev/null & pids+=($!)
driver=$!
wait_for 10 test -S "$root/device/QDDRIVER.sock" || fail "the driver did not come up"
check_mode "$root/device/QDDRIVER.sock" root:kestrine 660

# Boot without any application: the service serves its ports and the stored list by itself. Root
# allows a number from the shell (no PIN before parental control is first switched on); the
# service reads the store again on its own.
wait_for 10 test -e "$root/dev/COM1" || fail "the service did not serve COM1 with nobody logged in"
kestrine-ctl allow -y 01234567 >"$work/ctl.out" 2>&1 || { cat "$work/ctl.out"; fail "root's kestrine-ctl allow failed"; }
wait_for 10 grep -q 'allowed list read from the settings store: 1 numbers' "$work/driver.out" ||
  fail "the service did not read the changed store"
dialled=0
dial() {  # dial USER NUMBER: chat's exit status in $dialled (0 CONNECT, 4 NO CARRIER)
  dialled=0
  as "$1" sh -c "'$chat' -t 5 ABORT 'NO CARRIER' '' ATZ OK ATDT$2 CONNECT '' <>$root/dev/COM1 >&0" || dialled=$?
}
dial "$outsider" 01234567
[ "$dialled" -eq 0 ] || fail "an allowed dial gave chat exit $dialled with no application running, not 0 (CONNECT)"
dial "$outsider" 0900555
[ "$dialled" -eq 4 ] || fail "a refused dial gave chat exit $dialled with no application running, not 4"
# chat runs in the shell that opened the port for it: "probably dialled by" chat.
wait_for 10 grep -Eq '^<4>COM1: 0900555 refused \((probably )?dialled by [^ ]*/chat ' "$work/driver.out" ||
  fail "the refusal did not reach the service's journal"
as "$member" kestrine-ctl log >"$work/ctl.out" 2>&1 && grep -q ': 0900555 refused on COM1$' "$work/ctl.out" ||
  { cat "$work/ctl.out"; fail "kestrine-ctl log does not show a member the refusal kept for the next application"; }
as "$member" kestrine-ctl status >"$work/ctl.out" 2>&1 || { cat "$work/ctl.out"; fail "kestrine-ctl status: not protecting, for a member"; }
grep -q '^Kestrine is protecting$' "$work/ctl.out" || fail "kestrine-ctl status does not say so"
grep -q 'last refusal: 0900555 on ' "$work/ctl.out" || { cat "$work/ctl.out"; fail "kestrine-ctl status does not name COM1's last refusal"; }
status=0; as "$outsider" kestrine-ctl status >"$work/ctl.out" 2>&1 || status=$?
[ "$status" -eq 4 ] && grep -q 'permission denied' "$work/ctl.out" || { cat "$work/ctl.out"; fail "an outsider's kestrine-ctl status gave $status, not 4"; }
status=0; as "$outsider" kestrine-ctl allow -y 0900555 >"$work/ctl.out" 2>&1 || status=$?
[ "$status" -eq 4 ] || fail "an outsider's kestrine-ctl allow gave $status, not 4"

# The member logs in again: the autostart entry.
as "$member" $autostart >"$work/kestrine.out" 2>&1 & pids+=($!)
app=$!
wait_for 20 test -e "$root/dev/COM2" || fail "the tray application did not attach COM1 and COM2"
test -e "$root/dev/COM1" || fail "COM1 is not published"
# What was refused before it came is logged with its time, under one notice.
wait_for 20 grep -q ': 0900555 was refused on .* while Kestrine was not running' "$log" ||
  fail "the application did not log the refusal made while it was not running"

# A number that is not allowed, dialled by the member through COM1 with picocom, which stays on
# the port after NO CARRIER: the driver, root, names the member's program on the line after.
as "$member" picocom -q -b 9600 -t $'ATDT0900123456\r' -x 3000 "$root/dev/COM1" </dev/null \
  >"$work/picocom.out" 2>&1 & pids+=($!)
dialler=$!
wait "$dialler" || true
grep -q 'NO CARRIER' "$work/picocom.out" || fail "the refused dial did not get NO CARRIER"
wait_for 10 grep -q ': 0900123456 blocked' "$log" || fail "no '0900123456 blocked' in $log"
named="dialled by $(readlink -f "$(command -v picocom)") (process $dialler, user $member)"
grep -A1 ': 0900123456 blocked' "$log" | tail -1 | grep -qF ": $named, command line" ||
  fail "the line after 'blocked' does not say '$named'"
wait_for 10 xdotool search --name 'Kestrine - Number Blocked' || fail "no alert on the member's display"

# The stand-in is the driver's alone now, lock file and all: the earlier opening was revoked.
as "$member" sh -c "exec 3<>$work/standin" 2>/dev/null && fail "the member opened the held stand-in directly"
[ -f "$lock" ] && [ "$(tr -d ' \n' <"$lock" 2>/dev/null)" = "$driver" ] || fail "$lock does not name the driver"
wait_for 10 grep -q revoked "$work/early.out" || fail "a descriptor opened before the attach still writes to the modem"

# Outside kestrine: no driver, and no tray application at login.
as "$outsider" socat -u OPEN:/dev/null UNIX-CONNECT:"$root/device/QDDRIVER.sock" 2>/dev/null &&
  fail "a user outside kestrine connected to the driver"
timeout 10 setpriv --reuid="$outsider" --regid="$(id -g "$outsider")" --init-groups $autostart ||
  fail "the autostart entry failed for a user outside kestrine"

# Allow the number from the alert, and set a PIN, as the member would.
alert=$(xdotool search --name 'Kestrine - Number Blocked' | head -1)
eval "$(xdotool getwindowgeometry --shell "$alert")"
xdotool mousemove $((X + 262 + 37)) $((Y + 118 + 12)) click 1
wait_for 10 grep -q ': 0900123456 added to allow list.' "$log" || fail "Allow did not add the number"
# A second start brings the window up; Enabled under Parental Control asks for the first PIN.
as "$member" /usr/bin/kestrine || fail "a second start failed"
wait_for 10 xdotool search --onlyvisible --name '^Kestrine 1.0$' || fail "no main window"
main=$(xdotool search --onlyvisible --name '^Kestrine 1.0$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 70)) $((Y + 304)) click 1
wait_for 10 xdotool search --onlyvisible --name '^Set PIN$' || fail "no Set PIN dialog"
xdotool windowactivate --sync "$(xdotool search --onlyvisible --name '^Set PIN$' | head -1)"
xdotool type --delay 20 4711; xdotool key Tab; xdotool type --delay 20 4711; xdotool key Return
wait_for 10 grep -q ': Parental Control Turned On' "$log" || fail "the PIN was not set"

# The member swaps the log for a link to a file anyone could write (root's profile, say): the
# member's application, like root's, neither follows it nor makes a log of its own.
rm -f "$log"
install -m 666 /dev/null "$work/victim"
as "$member" ln -s "$work/victim" "$log" || fail "the member could not plant a link in the log folder"

# A dialout user outside kestrine dials through the published ports as before, and is refused.
status=0
as "$outsider" sh -c "'$chat' -t 5 ABORT 'NO CARRIER' '' ATZ OK ATDT0900999 CONNECT '' <>$root/dev/COM1 >&0" || status=$?
[ "$status" -eq 4 ] || fail "a dialout user's refused dial gave chat exit $status, not 4 (NO CARRIER)"
# The alert comes after the refusal's log lines were tried.
wait_for 10 xdotool search --name 'Kestrine - Number Blocked' || fail "no alert for the dialout user's dial"
[ ! -s "$work/victim" ] || fail "the member's application wrote through a link planted as the log"
[ -L "$log" ] || fail "the planted link was replaced by a log of the member's"
rm -f "$log"
kestrine-setup >/dev/null || fail "kestrine-setup did not make the log again"
check_mode "$log" root:kestrine 660
before=$(store)
[ -n "$before" ] || fail "the store is empty after Allow"

# Two applications at once: a second member logs in too, and each gets the refusal (each logs it).
as "$second" $autostart >"$work/second.out" 2>&1 & pids+=($!)
second_app=$!
wait_for 20 grep -q '^<6>COM1: client .* attached (2 subscribed)' "$work/driver.out" ||
  fail "the second member's application did not subscribe to COM1"
dial "$outsider" 0900777
[ "$dialled" -eq 4 ] || fail "the dial with two applications was not refused"
wait_for 10 sh -c "[ \$(grep -c ': 0900777 blocked' '$log') -eq 2 ]" || fail "not both applications logged the refusal"
# The parental PIN is on now: a member's shell cannot change the list without it.
status=0; as "$member" kestrine-ctl allow -y 0900777 </dev/null >"$work/ctl.out" 2>&1 || status=$?
[ "$status" -eq 1 ] && ! kestrine-ctl allowed | grep -q 0900777 || { cat "$work/ctl.out"; fail "a member's kestrine-ctl changed the list without the PIN"; }

# Reinstall and upgrade keep the store; the driver keeps running.
apt_get install --reinstall "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "reinstall failed"; }
[ "$(store)" = "$before" ] || fail "reinstall changed the store"
dpkg-deb -R "$deb" "$work/next"
sed -i 's/^Version: \(.*\)$/Version: \1+1/' "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$work/kestrine_next.deb" >/dev/null
apt_get install "$work/kestrine_next.deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "upgrade failed"; }
[ "$(store)" = "$before" ] || fail "the upgrade changed the store"
check_mode "$root/registry.db" root:kestrine 660

# The members log out (the session's end), then purge.
kill "$app" "$second_app"
wait_for 10 sh -c "! kill -0 $app && ! kill -0 $second_app" || fail "the tray applications did not end"
# Another program's database where the store belongs: an upgrade says so and still succeeds,
# and leaves the file as it was.
mkdir "$work/store"
mv "$root"/registry.db* "$work/store/"
sqlite3 "$root/registry.db" 'PRAGMA application_id = 12345; CREATE TABLE t(x);'
foreign=$(md5sum <"$root/registry.db")
apt_get install --reinstall "$work/kestrine_next.deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "an upgrade failed over a store that is not Kestrine's"; }
grep -q "It is not a Kestrine store" "$work/apt.log" || fail "the upgrade did not say what is wrong with the store"
[ "$(md5sum <"$root/registry.db")" = "$foreign" ] || fail "the upgrade changed a store that is not Kestrine's"
rm -f "$root/registry.db"
mv "$work/store"/registry.db* "$root/"

apt_get purge kestrine >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge failed"; }
wait_for 10 sh -c "! kill -0 $driver" || fail "the driver outlived purge"
[ ! -e "$root" ] && [ ! -e /var/log/kestrine ] && [ ! -e /usr/lib/kestrine ] || fail "purge left files"
[ ! -e "$lock" ] || fail "purge left $lock"
getent group kestrine >/dev/null || fail "purge removed the group (Debian leaves system groups)"
echo "package test: installed, protected with nobody logged in, refused, alerted, held, two applications, kestrine-ctl, kept others out, reinstalled, upgraded, purged"
