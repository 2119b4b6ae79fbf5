# Sourced by the client test scripts: the state of the client's top-level
# windows on the X display, found by a part of their title.
titled() { xdotool search --name "$1" >/dev/null 2>&1; }
viewable() {
  local id
  for id in $(xdotool search --name "$1" 2>/dev/null); do
    xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' && return 0
  done
  return 1
}
