#!/usr/bin/env bash
# Start-up benchmark of the client against a bare browser view, under Xvfb
# with the stand-in hosted application.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvaneapp torvane-bareview torvane-standin
tools/make-certs.sh build/ssl
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1920x1040x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 >/dev/null &
pids+=($!)
sleep 1
[ "$(id -u)" = 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
DISPLAY=":$display" python3 bench/startup.py build "${1:-10}"
