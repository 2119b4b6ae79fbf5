#!/usr/bin/env bash
# Starts ./run.sh without a display, waits until the client shows the stand-in
# hosted application (its page title becomes the window title), takes a
# screenshot, and stops everything. Usage: test-run-sh.sh [SCREENSHOT.png]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
shot=${1:-$root/build/run-sh.png}
log=$(mktemp)
(cd "$root" && exec env -u DISPLAY setsid ./run.sh) >"$log" 2>&1 &
pid=$!
stop() { kill -- -"$pid" 2>/dev/null; kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
trap stop EXIT

display=""
for _ in $(seq 600); do
  display=$(sed -n 's/^no display: started Xvfb on DISPLAY=\(:[0-9]*\).*/\1/p' "$log")
  if [ -n "$display" ] && xwininfo -display "$display" -root -tree 2>/dev/null | grep -q 'Torvane Fone'; then
    break
  fi
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "run.sh ended early:"; cat "$log"; exit 1
  fi
  sleep 0.5
done
if [ -z "$display" ] || ! xwininfo -display "$display" -root -tree | grep -q 'Torvane Fone'; then
  echo "FAIL: no client window titled with the stand-in's page title"; tail -30 "$log"; exit 1
fi
grep -q 'GET /api/app/novo/app/index.php' "$log" || { echo "FAIL: the stand-in was not asked for the start page"; exit 1; }
sleep 1
import -display "$display" -window root "$shot"
echo "client window titled \"Torvane Fone\" on $display; screenshot in $shot"
echo "1 passed, 0 failed"
