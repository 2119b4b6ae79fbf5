#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a copy of its seed corpus.
# Any crash, leak, stall, input slower than its time limit or memory beyond
# its limit fails the run. Usage: run-fuzzers.sh DIR SECONDS [TARGET...]
set -euo pipefail
dir=$(cd "$1" && pwd); seconds=$2; shift 2
root=$(cd "$(dirname "$0")/.." && pwd)

# Requests go beyond the shipped maxRequestSize (16000); a request that takes
# a second, or a process that grows past 1 GiB, is a finding.
limits=(-timeout=2 -rss_limit_mb=1024 -malloc_limit_mb=64)
options_for() {
  case "$1" in
    template) echo "-max_len=8192 ${limits[*]}" ;;
    *) echo "-max_len=65536 -len_control=20 ${limits[*]}" ;;
  esac
}

targets=("$@")
if [ ${#targets[@]} = 0 ]; then
  for target in "$dir"/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] && targets+=("$(basename "$target")")
  done
fi
if [ ${#targets[@]} = 0 ]; then
  echo "no fuzz target in $dir"; exit 1
fi
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  seeds="$root/tests/fuzz/corpus/$name"
  if [ ! -x "$dir/fuzz_$name" ] || [ -z "$(ls -A "$seeds" 2>/dev/null)" ]; then
    echo "fuzz target $name: no program $dir/fuzz_$name or no seeds in $seeds"; exit 1
  fi
  corpus=$(mktemp -d)
  cp -r "$seeds/." "$corpus/"
  echo "fuzzing $name for ${seconds}s"
  # shellcheck disable=SC2046
  if ! (cd "$corpus" && "$dir/fuzz_$name" -max_total_time="$seconds" $(options_for "$name") "$corpus" >fuzz.log 2>&1); then
    tail -40 "$corpus/fuzz.log"; echo "fuzz target $name failed"; exit 1
  fi
  grep -E '^Done [0-9]+ runs' "$corpus/fuzz.log" || tail -1 "$corpus/fuzz.log"
  rm -rf "$corpus"
done
