#!/usr/bin/env bash
# Installs the benchmark's tools, builds the bench server in Release mode and
# runs the side-by-side benchmark. Extra arguments go to run_bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTORVANE_BUILD_TESTS=OFF -DTORVANE_BUILD_CLIENT=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target benchserver
exec python3 bench/run_bench.py --build build-bench "$@"
