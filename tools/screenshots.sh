#!/usr/bin/env bash
# Makes docs/client-window.png and docs/dial-button.png under Xvfb, with the
# client showing the stand-in hosted application.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvane-screenshots torvane-standin
tools/make-certs.sh build/ssl
tools/with-standin.sh --xvfb build/bin/torvane-screenshots \
  "https://localhost:8443/api/app/novo/app/index.php?modeOn=true" docs
echo "docs/client-window.png and docs/dial-button.png written"
