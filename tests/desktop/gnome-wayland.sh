#!/usr/bin/env bash
# GNOME's compositor (mutter 43, headless, a GNOME Wayland session with two
# monitors), as a GNOME user has it: the client goes through XWayland and
# stands 20 px from the right and 0 px from the bottom of its monitor,
# above other windows; its dial button can be dragged; when the monitor
# under both goes away they come back on the one that is left.
source "$(dirname "$0")/session.sh"

as env XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME \
  mutter --headless --wayland --virtual-monitor 1920x1080 --virtual-monitor 1280x1024 \
  -- sh -c "env >'$runtime/session.env'; exec sleep 600" >"$scratch/mutter.log" 2>&1 &
session_from "$runtime/session.env" || finish

# monitors PRIMARY [SECOND]: the layout, through GNOME's display settings;
# the monitors named stand side by side, the first one primary.
display_config() {
  as gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path /org/gnome/Mutter/DisplayConfig \
    --method "org.gnome.Mutter.DisplayConfig.$@"
}
monitors() {
  local serial mode0=1920x1080@60.000 mode1=1280x1024@60.000 layout
  serial=$(display_config GetCurrentState | sed -n 's/^(uint32 \([0-9]*\),.*/\1/p')
  case "$*" in
    "Meta-1 Meta-0") layout="[(1920, 0, 1.0, uint32 0, true, [('Meta-1', '$mode1', @a{sv} {})]), (0, 0, 1.0, 0, false, [('Meta-0', '$mode0', {})])]" ;;
    "Meta-0") layout="[(0, 0, 1.0, uint32 0, true, [('Meta-0', '$mode0', @a{sv} {})])]" ;;
  esac
  display_config ApplyMonitorsConfig "$serial" 1 "$layout" "@a{sv} {}" >/dev/null
}
monitors Meta-1 Meta-0 || fail "the second monitor could not be made the primary one"

echo "== through XWayland, at the bottom right of its monitor, above others"
start_client "$scratch/client.log" XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME
wait_for "main_window >/dev/null" 60 || fail "no X11 window of the client (a native Wayland window has none)"
grep -q '^Platform: xcb through XWayland' "$scratch/client.log" || fail "the platform line: $(grep '^Platform' "$scratch/client.log")"
# The second monitor, 1280 x 1024, right of the first.
in_corner "1920 0 1280 1024"

# kept_on "X Y" WIDTH HEIGHT: where mutter shows the 359 x 168 dial button
# window asked for at X Y: moved, where need be, to lie wholly within the
# monitors' WIDTH x HEIGHT.
kept_on() {
  local p=($1)
  echo "$(( p[0] < $2 - 359 ? p[0] : $2 - 359 )) $(( p[1] < $3 - 168 ? p[1] : $3 - 168 ))"
}

echo "== the dial button, dragged"
[ "$(command_client 'action=close')" = 200 ] || fail "the close command was not answered"
wait_for "dial_button >/dev/null" 10 || fail "no dial button after the close command"
dial=$(dial_button)
start=$(kept_on "3133 917" 3200 1080)
near "$(position "$dial")" "$start" || fail "the dial button stands at $(position "$dial"), not $start"
drag "$dial" -400 -300
dragged=$(kept_on "$(( ${start% *} - 400 )) $(( ${start#* } - 300 ))" 3200 1080)
wait_for 'near "$(position "$dial")" "$dragged"' 5 || fail "the dial button, dragged by -400,-300, stands at $(position "$dial"), not $dragged"

echo "== the monitor under both goes away"
monitors Meta-0 || fail "the second monitor could not be turned off"
home_spot=$(kept_on "1853 973" 1920 1080)
wait_for 'near "$(position "$dial")" "$home_spot"' 10 \
  || fail "the dial button stands at $(position "$dial"), not at its place on the monitor left ($home_spot)"
[ "$(command_client 'action=open')" = 200 ] || fail "the open command was not answered"
wait_for "main_window >/dev/null" 10 || fail "the window did not come back"
wait_for 'near "$(position "$(main_window)")" "1629 660"' 10
in_corner "0 0 1920 1080"
grep -q '^Screens changed: .* at the bottom right of XWAYLAND0 ' "$scratch/client.log" \
  || fail "the client did not say where it stands now: $(grep '^Screens' "$scratch/client.log")"
finish
