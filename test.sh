#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite.
# TORVANE_QUICK=1 skips the sanitizer builds and the fuzzers.
# TORVANE_FUZZ_SECONDS sets the time per fuzz target (default 60).
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

tools/install-deps.sh test native package

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$jobs"

if [ "${TORVANE_QUICK:-0}" != 1 ]; then
  echo "== server suites under AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -DTORVANE_ASAN=ON -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --no-tests=error --output-on-failure -L server)

  echo "== server suites under ThreadSanitizer"
  cmake -S . -B build-tsan -DTORVANE_TSAN=ON -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-tsan -j"$jobs"
  export TSAN_OPTIONS="suppressions=$PWD/tests/server/tsan.supp halt_on_error=1"
  # The stage must be able to fail: a deliberate race in a handler thread.
  if build-tsan/tests/tsan_probe >build-tsan/tsan_probe.log 2>&1 \
    || ! grep -q 'tsan_probe.cpp' build-tsan/tsan_probe.log; then
    cat build-tsan/tsan_probe.log
    echo "ThreadSanitizer did not report the deliberate race: its suppressions hide our own code"
    exit 1
  fi
  echo "ThreadSanitizer reports the deliberate race, as it must"
  (cd build-tsan && ctest --no-tests=error --output-on-failure -L server)
  unset TSAN_OPTIONS

  echo "== fuzzing"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTORVANE_FUZZ=ON -DTORVANE_ASAN=ON -DTORVANE_BUILD_TESTS=OFF \
    -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j"$jobs"
  tests/fuzz/run-fuzzers.sh build-fuzz/tests/fuzz "${TORVANE_FUZZ_SECONDS:-60}"
fi

echo "== all suites"
cd build && ctest --no-tests=error --output-on-failure
