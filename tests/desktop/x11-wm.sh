#!/usr/bin/env bash
# X11 with a real window manager (mutter on Xvfb, as GNOME on X11 has it):
# the client stands 20 px from the right and 0 px from the bottom, and a
# window raised over it does not cover it.
source "$(dirname "$0")/session.sh"

ready=$scratch/display
mkfifo "$ready"
chmod 666 "$ready"
as Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$ready" >/dev/null 2>&1 &
read -r -t 30 number <"$ready" || { fail "no Xvfb"; finish; }
session_env=(DISPLAY=":$number" XDG_SESSION_TYPE=x11 XDG_CURRENT_DESKTOP=GNOME)
as mutter --x11 --replace --sm-disable >"$scratch/mutter.log" 2>&1 &
wait_for 'xtool xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' 30 || fail "mutter did not start"

echo "== placed at the bottom right, above others"
start_client "$scratch/client.log"
wait_for "main_window >/dev/null" 60 || fail "no window of the client"
grep -q '^Platform: xcb, Qt.s default' "$scratch/client.log" || fail "the platform line: $(grep '^Platform' "$scratch/client.log")"
in_corner "0 0 1920 1080"
window=$(main_window)

echo "== a window raised over it"
as xmessage -name cover -geometry 500x600-0-0 cover >/dev/null 2>&1 &
wait_for 'xtool xdotool search --onlyvisible --classname cover >/dev/null' 10 || fail "no covering window"
cover=$(xtool xdotool search --onlyvisible --classname cover | head -1)
xtool xdotool windowactivate --sync "$cover" windowraise "$cover" 2>/dev/null
# Bottom to top, in the window manager's stacking order.
stacking() { xtool xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //; s/, /\n/g'; }
index_of() { stacking | grep -n -i -x "0x0*$(printf '%x' "$1")" | cut -d: -f1; }
sleep 0.5
[ -n "$(index_of "$window")" ] && [ "$(index_of "$window")" -gt "$(index_of "$cover")" ] \
  || fail "the raised window covers the client (stacking, bottom to top: $(stacking | tr '\n' ' '))"
finish
