#!/usr/bin/env bash
# Installs what is missing, builds, and starts the client's HTTP server on the
# shipped configuration (etc/TorvaneAPP.ini). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)"
exec build/bench/benchserver --config etc/TorvaneAPP.ini --verbose
