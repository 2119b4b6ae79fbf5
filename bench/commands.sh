#!/usr/bin/env bash
# The local command endpoint of the real client, end to end: latency from
# sending a command to the hosted page running commandJson2 (the stand-in
# page records the moment), and throughput with wrk beside the bench server
# on the same listener settings. Headless: ./run.sh starts Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh client bench
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvaneapp torvane-standin benchserver >/dev/null

# Debug lines are filtered unless BENCH_CLIENT_DEBUG=1: the shipped client
# sends them to the debugger channel, which costs next to nothing when no
# debugger listens; here they would go to a file, one write per line.
[ "${BENCH_CLIENT_DEBUG:-0}" = 1 ] || export QT_LOGGING_RULES="default.debug=false;torvane.*.debug=false"
echo "client debug lines: ${QT_LOGGING_RULES:-written to a file}"

log=$(mktemp)
(exec env -u DISPLAY setsid ./run.sh) >"$log" 2>&1 &
pid=$!
bench_pid=""
stop() {
  kill -- -"$pid" 2>/dev/null || true
  [ -n "$bench_pid" ] && kill "$bench_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -f "$log"
}
trap stop EXIT
for _ in $(seq 600); do
  grep -q "^no display: started Xvfb" "$log" && curl -s -o /dev/null https://localhost:8085/?warmup=1 && break
  sleep 0.5
done
sleep 5

echo "== latency: 1000 commands at 100 per second, request sent to commandJson2 in the page"
python3 bench/command_latency.py localhost 8085 https://localhost:8443 1000 100

wrk_run() {
  wrk -t2 -c10 -d10s --latency "$1" | awk '/Requests\/sec/ {print "  requests/s " $2} / 99%/ {print "  p99 " $2}'
}
echo "== throughput: wrk, keep-alive, 10 connections, 10 s, TLS"
echo "real client (https://localhost:8085/?comando=bench):"
wrk_run "https://localhost:8085/?comando=bench"
# The bench server with the client's own listener settings on another port.
sed -e 's/^port=8085/port=18085/' build/bin/TorvaneAPP.ini > build/bench-commands.ini
env QT_LOGGING_RULES="default.debug=false;torvane.*.debug=false" build/bench/benchserver --config build/bench-commands.ini >/dev/null 2>&1 &
bench_pid=$!
sleep 1
echo "bench server (same listener settings, https://localhost:18085/?comando=bench):"
wrk_run "https://localhost:18085/?comando=bench"
