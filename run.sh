#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop client against the
# bundled stand-in hosted application (HTTPS on loopback, certificates from a
# local certificate authority made once). Without a display it starts Xvfb.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvaneapp torvane-standin
tools/prepare-client.sh

exec tools/with-standin.sh build/bin/torvaneapp "$@"
