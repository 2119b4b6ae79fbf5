#!/usr/bin/env bash
# A wlroots compositor (sway, headless, with XWayland): the client goes
# through XWayland; a tray that appears while it runs (swaybar, a
# StatusNotifier host, started by a configuration reload) gets its icon;
# a screen added and a screen whose size changes find the window on a
# screen that exists; without XWayland it runs natively and says what that
# costs. Sway tiles the window, so its place is sway's.
source "$(dirname "$0")/session.sh"
TILED=1

config=$scratch/sway.conf
cat >"$config" <<CONFIG
output HEADLESS-1 resolution 1920x1080 position 0,0
xwayland enable
exec env >'$runtime/session.env'
CONFIG
chmod 644 "$config"
as env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$config" >"$scratch/sway.log" 2>&1 &
session_from "$runtime/session.env" || finish
session_env+=(XDG_SESSION_TYPE=wayland)

echo "== through XWayland"
start_client "$scratch/client.log"
wait_for "main_window >/dev/null" 60 || fail "no X11 window of the client (a native Wayland window has none)"
grep -q '^Platform: xcb through XWayland' "$scratch/client.log" || fail "the platform line: $(grep '^Platform' "$scratch/client.log")"
grep -q '^Tray: this desktop shows no tray icons' "$scratch/client.log" || fail "the client did not say that there is no tray"
echo "sway tiles the window: $(size "$(main_window)") at $(position "$(main_window)")"

echo "== a tray that appears later"
registered() {
  as gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems 2>/dev/null \
    | grep -q StatusNotifierItem
}
printf 'bar {\n  tray_output *\n  status_command echo tray\n}\n' >>"$config"
as swaymsg reload >/dev/null || fail "sway did not reload its configuration"
wait_for registered 10 || fail "no icon of the client in swaybar's tray within 10 s"
grep -q '^Tray: a tray host appeared' "$scratch/client.log" || fail "the client did not say that a tray appeared"

echo "== screens added and changed"
# outputs: the rectangles of the X screen's outputs, "X Y W H" each.
outputs() { as xrandr | sed -n 's/^[^ ]* connected \(primary \)\{0,1\}\([0-9]*\)x\([0-9]*\)+\([0-9]*\)+\([0-9]*\).*/\4 \5 \2 \3/p'; }
on_an_output() {
  local p=($(position "$1")) s o
  s=$(size "$1")
  local w=${s%x*} h=${s#*x}
  while read -r -a o; do
    [ $((p[0] >= o[0] && p[1] >= o[1] && p[0] + w <= o[0] + o[2] && p[1] + h <= o[1] + o[3])) = 1 ] && return 0
  done < <(outputs)
  return 1
}
changes() { grep -c '^Screens changed' "$scratch/client.log"; }
as swaymsg create_output >/dev/null || fail "sway did not add an output"
wait_for '[ "$(outputs | wc -l)" = 2 ]' 10 || fail "XWayland shows $(outputs | wc -l) outputs, not 2"
wait_for '[ "$(changes)" -ge 1 ]' 10 || fail "the client did not follow the screen that was added"
before=$(changes)
as swaymsg output HEADLESS-1 mode 1280x1024 >/dev/null || fail "sway did not change the first output's mode"
wait_for '[ "$(changes)" -gt "$before" ]' 10 || fail "the client did not follow the screen's new size"
on_an_output "$(main_window)" || fail "the window at $(position "$(main_window)") lies outside every output: $(outputs | tr '\n' ';')"
named=$(sed -n 's/^Screens changed: .* at the bottom right of \([^ ]*\) .*/\1/p' "$scratch/client.log" | tail -1)
as xrandr | grep "^$named connected" >/dev/null || fail "the client anchors to $named, which is not a connected output"

echo "== without XWayland, natively, saying what is lost; a message on the tray"
stop_client
take_port
start_client "$scratch/native.log" DISPLAY=
# Sway names a native window by its Wayland app_id; XWayland's have none.
native_window() { as swaymsg -t get_tree | grep '"app_id": "torvaneapp"' >/dev/null; }
wait_for native_window 60 || fail "no Wayland window of the client"
grep -q '^Platform: wayland: this Wayland session has no XWayland (DISPLAY is not set), so the compositor places the window, and it cannot stay above other windows' \
  "$scratch/native.log" || fail "the platform line: $(grep '^Platform' "$scratch/native.log")"
grep -q "^Message (tray): A porta $port já está em uso" "$scratch/native.log" \
  || fail "the taken port's message did not go to the tray: $(grep '^Message' "$scratch/native.log")"
finish
