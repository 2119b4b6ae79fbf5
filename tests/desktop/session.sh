# Sourced by the desktop cases. Compositors refuse to run as root, so each
# case makes an account of its own (torvanedesk), gives it a runtime folder
# and a session bus, and runs the desktop and the client (the one built in
# build/, with a configuration beside a copy of it) as that account. On exit
# everything of the account is stopped and the account removed. Needs root.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TORVANE_BUILD_DIR:-$root/build}
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: makes an account of its own, so it runs as root"
  exit 77
fi
source "$root/tests/system/window-state.sh"
account=torvanedesk
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
scratch=$(mktemp -d)
chmod 755 "$scratch"
runtime=$scratch/run

stop_account() {
  pkill -u "$account" 2>/dev/null
  for _ in $(seq 50); do pgrep -u "$account" >/dev/null || return 0; sleep 0.1; done
  pkill -KILL -u "$account" 2>/dev/null
  for _ in $(seq 50); do pgrep -u "$account" >/dev/null || return 0; sleep 0.1; done
}
end_session() {
  # Bash would report each background job of the account as "Terminated".
  exec 2>/dev/null
  stop_account
  wait
  # An X server that had to be killed leaves its lock and socket behind.
  find /tmp /tmp/.X11-unix -maxdepth 1 \( -name '.X*-lock' -o -name 'X[0-9]*' \) -user "$account" -delete
  id "$account" >/dev/null 2>&1 && userdel -r "$account" >/dev/null 2>&1
  rm -rf "$scratch"
}
trap end_session EXIT
# What an interrupted run may have left.
if id "$account" >/dev/null 2>&1; then stop_account; userdel -r "$account" >/dev/null 2>&1; fi
useradd -m -s /bin/bash "$account" || exit 1
home=$(getent passwd "$account" | cut -d: -f6)
install -d -m 700 -o "$account" "$runtime"
# X servers of other accounts put their sockets here; only root may make it.
install -d -m 1777 -o root -g root /tmp/.X11-unix

# The client as built, with a configuration of its own: the one shipped,
# listening on PORT.
client=$scratch/client
port=${DESKTOP_PORT:-18585}
install -d -m 755 "$client"
install -m 755 "$build/bin/torvaneapp" "$build/bin/tasklist" "$client/"
sed "s/^port=.*/port=$port/" "$root/etc/TorvaneAPP.ini" >"$client/TorvaneAPP.ini"
chmod 644 "$client/TorvaneAPP.ini"

# Set by the case as its desktop starts: DISPLAY, WAYLAND_DISPLAY and so on.
session_env=()
# as COMMAND...: runs in the account's session.
as() {
  runuser -u "$account" -- env -i HOME="$home" USER="$account" LANG=C.UTF-8 PATH=/usr/bin:/bin \
    XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus" "${session_env[@]}" "$@"
}
as dbus-daemon --session --address="unix:path=$runtime/bus" --nofork --nopidfile --syslog-only >/dev/null 2>&1 &
wait_for "[ -S '$runtime/bus' ]" 10 || fail "no session bus"

# session_from FILE: the environment a desktop gives its programs, written
# by `env` into FILE, as session_env.
session_from() {
  wait_for "[ -s '$1' ]" 30 || { fail "the desktop did not start"; return 1; }
  mapfile -t session_env < <(grep -E '^(DISPLAY|WAYLAND_DISPLAY|XAUTHORITY|SWAYSOCK|XDG_SESSION_TYPE|XDG_CURRENT_DESKTOP)=' "$1")
}

# start_client LOG [VAR=VALUE...]: the client, as its menu entry starts it.
client_pid=""
start_client() {
  local log=$1
  shift
  as env "$@" "$client/torvaneapp" >"$log" 2>&1 &
  client_pid=$!
}
stop_client() {
  [ -n "$client_pid" ] || return 0
  # As the account's own session would end it; runuser passes nothing on.
  pkill -TERM -u "$account" -x torvaneapp
  # A copy still ending would turn the next start into a second one.
  wait_for "! pgrep -u $account -x torvaneapp >/dev/null" 20 || fail "the client did not end"
  wait "$client_pid" 2>/dev/null
  client_pid=""
}
# take_port: another program of the account listens on the client's port.
take_port() {
  as python3 -c "import socket, time; s = socket.socket(); s.bind(('127.0.0.1', $port)); s.listen(); time.sleep(600)" \
    >/dev/null 2>&1 &
  wait_for "(exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null" 10 || fail "the port could not be taken"
}
# command_client QUERY: a command from one of the account's programs.
command_client() { as curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/?$1"; }

# The client's X11 windows, among the mapped ones of its class: the dial
# button is titled "APP", the main window after its page. X tools get a
# time limit: a window that vanished must not leave one waiting for a click.
xtool() { as timeout 10 "$@"; }
client_windows() { xtool xdotool search --onlyvisible --class TorvaneAPP 2>/dev/null; }
main_window() {
  local id
  for id in $(client_windows); do
    [ "$(size "$id")" = 271x420 ] || [ "${TILED:-0}" = 1 ] || continue
    case "$(xtool xdotool getwindowname "$id")" in APP*) ;; *) echo "$id"; return 0 ;; esac
  done
  return 1
}
dial_button() {
  local id
  for id in $(client_windows); do
    case "$(xtool xdotool getwindowname "$id")" in APP*) echo "$id"; return 0 ;; esac
  done
  return 1
}
size() { [ -n "$1" ] && xtool xwininfo -id "$1" | sed -n 's/^  Width: //p;s/^  Height: //p' | paste -sd x; }
# position ID: "X Y" of the window's top left on the root window.
position() { [ -n "$1" ] && xtool xwininfo -id "$1" | sed -n 's/^  Absolute upper-left [XY]: *//p' | paste -sd ' '; }
# near "X Y" "X Y": within a few pixels (a compositor's frame may take two).
near() {
  local a=($1) b=($2)
  [ ${#a[@]} = 2 ] && [ ${#b[@]} = 2 ] && [ $(( (a[0]-b[0])**2 <= 9 && (a[1]-b[1])**2 <= 9 )) = 1 ]
}
# distances ID "X Y W H": where the window stands on that screen.
distances() {
  local p=($(position "$1")) s o=($2)
  s=$(size "$1")
  echo "$((o[0] + o[2] - p[0] - ${s%x*})) px from the right and $((o[1] + o[3] - p[1] - ${s#*x})) px from the bottom"
}
stays_above() { [ -n "$1" ] && xtool xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE; }
# in_corner "X Y W H": the main window stands 20 px from the right and 0 px
# from the bottom of that screen (within a few pixels), kept above others.
in_corner() {
  local window o=($1)
  window=$(main_window)
  near "$(position "$window")" "$((o[0] + o[2] - 291)) $((o[1] + o[3] - 420))" \
    || fail "the window stands $(distances "$window" "$1") of its screen, not 20 px and 0 px"
  stays_above "$window" || fail "the window is not kept above others: $(xtool xprop -id "$window" _NET_WM_STATE)"
  echo "the window stands $(distances "$window" "$1") of its screen, above others"
}
# drag ID DX DY: the left button grabs the window 20 px in and moves it.
drag() {
  local p=($(position "$1"))
  [ ${#p[@]} = 2 ] || return 1
  xtool xdotool mousemove --sync $((p[0] + 20)) $((p[1] + 20)) sleep 0.2 mousedown 1 sleep 0.2 \
    mousemove --sync $((p[0] + 20 + $2 / 2)) $((p[1] + 20 + $3 / 2)) sleep 0.2 \
    mousemove --sync $((p[0] + 20 + $2)) $((p[1] + 20 + $3)) sleep 0.2 mouseup 1
}

finish() {
  if [ $failures = 0 ]; then
    echo "1 passed, 0 failed"
    exit 0
  fi
  for log in "$scratch"/*.log; do [ -e "$log" ] && { echo "--- $log"; tail -15 "$log"; }; done
  echo "0 passed, 1 failed"
  exit 1
}
