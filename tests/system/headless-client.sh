# Sourced by the end-to-end scripts. Starts ./run.sh without a display in a
# session of its own, waits until the client shows the stand-in hosted
# application, and on exit stops the whole session (client, stand-in, Xvfb)
# and waits until every process of it is gone, so the next run finds the
# ports, the display and the single-instance check free.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
log=$(mktemp)
pid=""
display=""

stop_headless_client() {
  [ -n "$pid" ] || return 0
  kill -- -"$pid" 2>/dev/null
  for _ in $(seq 100); do
    pgrep -s "$pid" >/dev/null || break
    sleep 0.1
  done
  pkill -KILL -s "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=""
}

# Returns 1 with the log printed when run.sh ends or no window appears in
# five minutes (a first run installs and builds).
start_headless_client() {
  (cd "$root" && exec env -u DISPLAY setsid ./run.sh) >"$log" 2>&1 &
  pid=$!
  trap stop_headless_client EXIT
  for _ in $(seq 600); do
    display=$(sed -n 's/^no display: started Xvfb on DISPLAY=\(:[0-9]*\).*/\1/p' "$log")
    if [ -n "$display" ] && xwininfo -display "$display" -root -tree 2>/dev/null | grep -q 'Torvane Fone'; then
      export DISPLAY=$display
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
  echo "FAIL: no client window titled with the stand-in's page title"
  tail -30 "$log"
  return 1
}
