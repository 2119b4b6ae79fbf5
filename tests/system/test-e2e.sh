#!/usr/bin/env bash
# The whole client end to end, headless: ./run.sh with the stand-in hosted
# application, commands over the client's own TLS listener, a click on the
# page's close element, and a second start.
set -uo pipefail
source "$(dirname "$0")/headless-client.sh"
start_headless_client || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
sleep 2

source "$(dirname "$0")/window-state.sh"
window() { viewable 'Torvane Fone'; }
dial() { viewable '^APP'; }
wait_for() { for _ in $(seq 100); do eval "$1" && return 0; sleep 0.1; done; return 1; }
recorded() { curl -s https://localhost:8443/recorded; }

window || fail "the window is not shown at start"
dial && fail "the dial button is shown at start"

answer=$(curl -s "https://localhost:8085/?action=close")
[ "$answer" = '{"action":"close","status":true}' ] || fail "close answered $answer"
wait_for '! window' || fail "close left the window shown"
wait_for 'dial' || fail "close did not show the dial button"
wait_for 'recorded | grep -q "\"action\":\"close\""' || fail "the page did not receive close: $(recorded)"

answer=$(curl -s "https://localhost:8085/?action=open")
[ "$answer" = '{"action":"open","status":true}' ] || fail "open answered $answer"
wait_for 'window' || fail "open did not show the window"
wait_for '! dial' || fail "open left the dial button shown"

curl -s "https://localhost:8085/?comando=x" >/dev/null
wait_for 'recorded | grep -q "\"comando\":\"x\""' || fail "the page did not receive comando=x"
window || fail "comando=x hid the window"
dial && fail "comando=x showed the dial button"

# The page's close element: its click goes through the client's own server.
xdotool mousemove 1872 648 click 1
wait_for '! window' || fail "a click on the close element left the window shown"
wait_for 'dial' || fail "a click on the close element did not show the dial button"

# A second start asks the running client to show its window, and ends.
(cd "$root" && QTWEBENGINE_DISABLE_SANDBOX=1 timeout 60 build/bin/torvaneapp >/dev/null 2>&1)
status=$?
[ $status = 1 ] || fail "a second start ended with $status"
wait_for 'window' || fail "a second start did not show the running client's window"

# A burst of 10000 commands over 50 connections: every answer right, every
# command received by the page, the client still responsive, and its memory
# back within 20% of its level before the burst.
client=$(pgrep -o -s "$pid" -f "^build/bin/torvaneapp")
rss() { awk '/VmRSS/ {print $2}' "/proc/$client/status"; }
before=$(rss)
result=$(python3 "$root/tests/system/command-burst.py" localhost 8085 10000 50)
[ "$result" = "ok 10000" ] || fail "burst: $result"
curl -s "https://localhost:8085/?action=close" >/dev/null
wait_for '! window' || fail "after the burst the client does not hide its window"
curl -s "https://localhost:8085/?action=open" >/dev/null
wait_for 'window' || fail "after the burst the client does not show its window"
burst_received() {
  recorded | python3 -c 'import json,sys; print(len({r["command"]["n"] for r in json.load(sys.stdin) if r["command"].get("comando") == "burst"}))'
}
received=0
for _ in $(seq 60); do
  received=$(burst_received)
  [ "$received" -ge 10000 ] && break
  sleep 1
done
[ "$received" = 10000 ] || fail "the page received $received of the 10000 burst commands"
sleep 5
after=$(rss)
echo "client RSS before the burst ${before} KiB, after ${after} KiB"
[ $((after * 100)) -le $((before * 120)) ] || fail "memory after the burst ${after} KiB, more than 20% above ${before} KiB"

# Ended by SIGTERM while fifty connections are sending commands, the client
# stops its server before what the server calls and exits normally.
served() { grep -c 'HttpConnectionHandler .*: finished request' "$log"; }
served_before=$(served)
python3 "$root/tests/system/command-burst.py" localhost 8085 20000 50 >/dev/null 2>&1 &
burst=$!
wait_for '[ $(served) -gt $((served_before + 500)) ]' || fail "the second burst was not being served"
kill -TERM "$client"
wait "$pid"
status=$?
pid=""
kill "$burst" 2>/dev/null
[ $status = 0 ] || fail "ended during a burst, the client exited with $status"
order=$(grep -o -E 'HttpListener: destroyed|RequestMapper: deleted' "$log" | tr '\n' ',')
[ "$order" = "HttpListener: destroyed,RequestMapper: deleted," ] || fail "on the way out the client freed in the order: $order"

if [ $failures = 0 ]; then echo "1 passed, 0 failed"; else tail -20 "$log"; echo "0 passed, 1 failed"; exit 1; fi
