#!/usr/bin/env bash
# The real client under a long command burst: ./run.sh (headless, against
# the stand-in), then bursts of commands over 50 kept-alive TLS connections
# for SECONDS (default 300), every answer checked. Prints the client's
# resident memory and open descriptors every 30 s, and fails when a command
# goes unanswered or either keeps growing after the first minute.
# Usage: bench/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvaneapp torvane-standin >/dev/null
export QT_LOGGING_RULES="default.debug=false;torvane.*.debug=false"

log=$(mktemp)
(exec env -u DISPLAY setsid ./run.sh) >"$log" 2>&1 &
pid=$!
trap 'kill -- -"$pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 600); do
  grep -q "^no display: started Xvfb" "$log" && curl -s -o /dev/null https://localhost:8085/?warmup=1 && break
  sleep 0.5
done
client=$(pgrep -n -x torvaneapp) || { cat "$log"; echo "FAIL: the client did not start"; exit 1; }
sample() { echo "$(awk '/VmRSS/ {print $2}' "/proc/$client/status") $(ls "/proc/$client/fd" | wc -l)"; }

start=$(date +%s) next=0 sent=0 failures=0 baseline=""
echo "| s | commands answered | client RSS KiB | descriptors |"
echo "|---:|---:|---:|---:|"
while [ $(( $(date +%s) - start )) -lt "$seconds" ]; do
  result=$(python3 tests/system/command-burst.py localhost 8085 5000 50)
  if [ "$result" = "ok 5000" ]; then sent=$((sent + 5000)); else failures=$((failures + 1)); echo "$result"; fi
  elapsed=$(( $(date +%s) - start ))
  if [ "$elapsed" -ge "$next" ]; then
    read -r rss fds <<<"$(sample)"
    echo "| $elapsed | $sent | $rss | $fds |"
    # The first minute warms caches and pools up; after it, a flat line.
    [ "$elapsed" -ge 60 ] && [ -z "$baseline" ] && baseline="$rss $fds"
    next=$((next + 30))
  fi
done
read -r rss fds <<<"$(sample)"
read -r base_rss base_fds <<<"${baseline:-$rss $fds}"
echo "answered $sent commands; RSS $base_rss -> $rss KiB after the first minute, descriptors $base_fds -> $fds"
[ "$failures" = 0 ] || { echo "FAIL: $failures bursts had an unanswered or wrong command"; exit 1; }
[ "$fds" -le $((base_fds + 2)) ] || { echo "FAIL: descriptors grow"; exit 1; }
[ "$rss" -le $((base_rss + base_rss / 10)) ] || { echo "FAIL: resident memory grows by more than 10 %"; exit 1; }
echo "ok"
