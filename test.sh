#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite, then
# prints the time of each stage (docs/developers.md says what each does).
# TORVANE_QUICK=1 skips the sanitizer builds and the fuzzers.
# TORVANE_FUZZ_SECONDS sets the time per fuzz target (default 60).
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
quick=${TORVANE_QUICK:-0}

started=$SECONDS
stage_name="" stage_started=0 times=()
stage() { # NAME: ends the stage before and starts the next ("" ends it only)
  [ -z "$stage_name" ] || times+=("$(printf '%6d s  %s' $((SECONDS - stage_started)) "$stage_name")")
  stage_name=$1 stage_started=$SECONDS
  [ -z "$1" ] || echo "== $1"
}
# Work beside the stages, each in a process group of its own (setsid), so
# that an early end stops all of it.
background=()
report() {
  local status=$?
  stage ""
  for pid in "${background[@]}"; do kill -- -"$pid" 2>/dev/null || true; done
  echo "== stage times"
  printf '%s\n' "${times[@]}"
  printf '%6d s  in all\n' $((SECONDS - started))
  exit $status
}
trap report EXIT

stage "set-up"
tools/install-deps.sh test native package

# A machine builds the Windows Qt of the windows cases once. On a new one it
# is built beside the stages below, at low priority: it takes what they leave
# of the processors (the fuzzers use one, many client cases mostly wait),
# and the windows cases wait for it.
# (A machine that has it already is done at once.) A session of its own is a
# scheduling group of its own where the kernel groups by session, so the
# group, too, gets the low priority.
mkdir -p build
echo "the Windows Qt is made beside the next stages, where missing (its log: build/build-windows-qt.log)"
setsid bash -c 'echo 19 >/proc/self/autogroup 2>/dev/null; exec nice -n 19 tools/build-windows-qt.sh' \
  >build/build-windows-qt.log 2>&1 &
background+=($!)

stage "build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$jobs"

if [ "$quick" != 1 ]; then
  # The sanitizer builds make only what they run: the display-free suites.
  stage "server suites under AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -DTORVANE_ASAN=ON -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-asan -j"$jobs" --target server_suites
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --no-tests=error --output-on-failure -L server)

  stage "server suites under ThreadSanitizer"
  cmake -S . -B build-tsan -DTORVANE_TSAN=ON -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-tsan -j"$jobs" --target server_suites
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

  stage "fuzz build"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTORVANE_FUZZ=ON -DTORVANE_ASAN=ON -DTORVANE_BUILD_TESTS=OFF \
    -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j"$jobs" --target fuzzers
  # Every target gets its whole time on a processor of its own, beside the
  # suites below.
  echo "the fuzzers run beside the suites (their log: build-fuzz/fuzzing.log)"
  setsid bash -c 'started=$SECONDS; tests/fuzz/run-fuzzers.sh build-fuzz/tests/fuzz "$1"; status=$?
                  echo "fuzzing took $((SECONDS - started)) s"; exit $status' fuzzing "${TORVANE_FUZZ_SECONDS:-60}" \
    >build-fuzz/fuzzing.log 2>&1 &
  fuzzing=$!
  background+=($fuzzing)
fi

stage "all suites"
status=0
(cd build && ctest --no-tests=error --output-on-failure) || status=$?

if [ "$quick" != 1 ]; then
  stage "fuzzing (what is left of it)"
  fuzz_status=0
  wait "$fuzzing" || fuzz_status=$?
  background=()
  cat build-fuzz/fuzzing.log
  [ $fuzz_status = 0 ] || { echo "the fuzz stage failed (above)"; status=1; }
fi
exit $status
