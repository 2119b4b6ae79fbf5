# Sourced by the client test scripts: waiting for a condition, the stand-in's
# port, and the state of the client's top-level windows on the X display,
# found by a part of their title.
# wait_for CONDITION [SECONDS]: true once the shell condition holds (10 s).
wait_for() { local tries=$(( ${2:-10} * 10 )); for _ in $(seq "$tries"); do eval "$1" && return 0; sleep 0.1; done; return 1; }
port_answers() { (exec 3<>/dev/tcp/127.0.0.1/8443) 2>/dev/null; }
titled() { xdotool search --name "$1" >/dev/null 2>&1; }
viewable() {
  local id
  for id in $(xdotool search --name "$1" 2>/dev/null); do
    xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' && return 0
  done
  return 1
}
