#!/usr/bin/env bash
# A desktop without a tray (GNOME as installed, here an X display without a
# panel), with a notification service (python-dbusmock's):
#  - a taken port is said in a notification and in the account's log file,
#    a file only the account reads, with a time stamp on every line;
#  - a tray watcher that starts later gets the client's icon;
#  - without a tray the view's right-click menu offers "Sair", which ends
#    the client;
#  - a log folder that cannot be written costs one line on standard error.
source "$(dirname "$0")/session.sh"
here=$(cd "$(dirname "$0")" && pwd)

ready=$scratch/display
mkfifo "$ready"
chmod 666 "$ready"
as Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$ready" >/dev/null 2>&1 &
read -r -t 30 number <"$ready" || { fail "no Xvfb"; finish; }
session_env=(DISPLAY=":$number" XDG_SESSION_TYPE=x11)
as python3 -m dbusmock --template notification_daemon -l "$scratch/notifications.log" >/dev/null 2>&1 &
touch "$scratch/notifications.log" "$scratch/watcher.log"
chmod 666 "$scratch/notifications.log" "$scratch/watcher.log"
wait_for 'as gdbus introspect --session --dest org.freedesktop.Notifications --object-path /org/freedesktop/Notifications >/dev/null 2>&1' 20 \
  || fail "no notification service"

echo "== a taken port, said in a notification and in the log file"
take_port
start_client "$scratch/client.log"
wait_for "main_window >/dev/null" 60 || fail "no window of the client"
echo "the window stands $(distances "$(main_window)" "0 0 1920 1080")"
wait_for "grep -q 'Notify .*A porta $port já está em uso' '$scratch/notifications.log'" 10 \
  || fail "no notification of the taken port: $(cat "$scratch/notifications.log")"
log=$home/.local/state/TorvaneAPP/TorvaneAPP.log
[ "$(stat -c %a "$log" 2>/dev/null)" = 600 ] || fail "the log file $log is not the account's alone: $(stat -c %a "$log" 2>&1)"
[ "$(stat -c %a "$(dirname "$log")" 2>/dev/null)" = 700 ] || fail "the log folder is not the account's alone"
grep -q "^[0-9-]* [0-9:.]* [+-][0-9:]* warning Message (notification): A porta $port já está em uso" "$log" \
  || fail "the log file lacks the message with its time stamp: $(grep -i porta "$log")"
grep -q "cannot listen on port $port" "$log" || fail "the log file lacks the listener's failure"
grep -qv '^[0-9-]* [0-9:.]* [+-][0-9:]* \(debug\|info\|warning\|critical\|fatal\) \|^    ' "$log" \
  && fail "lines of the log file without a time stamp: $(grep -v '^[0-9-]* [0-9:.]* ' "$log" | head -3)"

echo "== a tray that appears later"
as python3 -m dbusmock --template "$here/statusnotifierwatcher.py" -l "$scratch/watcher.log" >/dev/null 2>&1 &
wait_for "grep -q RegisterStatusNotifierItem '$scratch/watcher.log'" 10 || fail "the client's icon was not registered within 10 s"
grep -q '^Tray: a tray host appeared' "$scratch/client.log" || fail "the client did not say that a tray appeared"
stop_client
pkill -u "$account" -f statusnotifierwatcher.py
wait_for '! as gdbus introspect --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher >/dev/null 2>&1' 10 \
  || fail "the tray watcher did not end"

echo "== no tray: quit from the view's menu; a log folder that cannot be written"
as touch "$scratch/run/state"
start_client "$scratch/quit.log" XDG_STATE_HOME="$scratch/run/state"
wait_for "main_window >/dev/null" 60 || fail "no window of the client without its log folder"
[ "$(grep -c '^Log file:' "$scratch/quit.log")" = 1 ] || fail "not one line about the log folder: $(grep '^Log file' "$scratch/quit.log")"
grep -q "^Log file: cannot make the folder $scratch/run/state/TorvaneAPP; messages go to standard error only" "$scratch/quit.log" \
  || fail "the line about the log folder: $(grep '^Log file' "$scratch/quit.log")"
window=$(main_window)
p=($(position "$window"))
# The menu is a window of its own, titled after the application alone; the
# page takes right clicks once it has loaded.
menu_open() {
  local id
  for id in $(client_windows); do [ "$(xtool xdotool getwindowname "$id")" = "Torvane App - Desktop" ] && return 0; done
  return 1
}
right_click() { xtool xdotool mousemove --sync $((p[0] + 100)) $((p[1] + 200)) click 3; sleep 0.5; menu_open; }
wait_for right_click 20 || fail "no menu on a right click in the view"
# The last entries of the menu are the tray's: Up three times is "Sair".
xtool xdotool key Up Up Up Return
if wait_for "! kill -0 $client_pid 2>/dev/null" 20; then
  wait "$client_pid"
  status=$?
  client_pid=""
  [ $status = 0 ] || fail "the client ended with $status after Sair"
else
  fail "the client did not end after Sair"
fi
finish
