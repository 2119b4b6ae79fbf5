#!/usr/bin/env bash
# Runs a command while the stand-in hosted application serves
# https://localhost:8443 with the certificates in build/ssl, and, when there
# is no display (or with --xvfb), a fresh Xvfb of 1920 x 1040. Stops both when
# the command ends. Usage: with-standin.sh [--xvfb] COMMAND [ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
fresh_display=0
if [ "${1:-}" = --xvfb ]; then fresh_display=1; shift; fi

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

if [ $fresh_display = 1 ] || [ -z "${DISPLAY:-}" ]; then
  display=99
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1920x1040x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  echo "no display: started Xvfb on DISPLAY=$DISPLAY (screenshots: import -display $DISPLAY -window root shot.png)"
fi

build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 &
pids+=($!)
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/8443) 2>/dev/null && break; sleep 0.1; done

# The browser engine's sandbox cannot run as root.
if [ "$(id -u)" = 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
"$@"
