#!/usr/bin/env bash
# Runs a command while the stand-in hosted application serves
# https://localhost:8443 with the certificates in build/ssl, and, when there
# is no display (or with --xvfb), a fresh Xvfb of 1920 x 1040. Stops both when
# the command ends. With --no-standin only the display is provided.
# Usage: with-standin.sh [--xvfb] [--no-standin] COMMAND [ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
fresh_display=0
if [ "${1:-}" = --xvfb ]; then fresh_display=1; shift; fi
with_standin=1
if [ "${1:-}" = --no-standin ]; then with_standin=0; shift; fi

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

# Xvfb picks a free display itself and names it on a pipe only once it
# accepts connections, so a display still shutting down from an earlier run
# or a slow start cannot hand the client a server that is not there. Without
# -noreset it resets whenever its last client leaves and refuses whoever
# connects meanwhile.
start_xvfb() {
  local ready
  ready=$(mktemp -u)
  mkfifo "$ready"
  Xvfb -displayfd 3 -screen 0 1920x1040x24 -nolisten tcp -noreset 3>"$ready" >/dev/null 2>&1 &
  pids+=($!)
  local number=""
  read -r -t 30 number <"$ready" || true
  rm -f "$ready"
  [ -n "$number" ] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$number"
}

if [ $fresh_display = 1 ] || [ -z "${DISPLAY:-}" ]; then
  start_xvfb
  echo "no display: started Xvfb on DISPLAY=$DISPLAY (screenshots: import -display $DISPLAY -window root shot.png)"
fi

# A stand-in of an earlier run may still hold the port for a moment while it
# ends; ours would then fail to listen and exit, so wait for the port first.
port_answers() { (exec 3<>/dev/tcp/127.0.0.1/8443) 2>/dev/null; }
if [ $with_standin = 1 ]; then
  for _ in $(seq 100); do port_answers || break; sleep 0.1; done
  port_answers && { echo "port 8443 is in use: the stand-in cannot listen" >&2; exit 1; }
  build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 &
  standin=$!
  pids+=($standin)
  for _ in $(seq 100); do port_answers && break; sleep 0.1; done
  kill -0 $standin 2>/dev/null || { echo "the stand-in could not listen on port 8443" >&2; exit 1; }
fi

# The browser engine's sandbox cannot run as root.
if [ "$(id -u)" = 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
"$@"
