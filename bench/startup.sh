#!/usr/bin/env bash
# Start-up benchmark of the client against a bare browser view, under Xvfb
# with the stand-in hosted application.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvaneapp torvane-bareview torvane-standin
tools/make-certs.sh build/ssl
exec tools/with-standin.sh --xvfb python3 bench/startup.py build "${1:-10}"
