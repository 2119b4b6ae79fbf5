#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a copy of its seed corpus.
# Any crash, leak or stall fails the run.
set -euo pipefail
dir=$(cd "$1" && pwd); seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
for target in "$dir"/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target"); name=${name#fuzz_}
  corpus=$(mktemp -d)
  cp -r "$root/tests/fuzz/corpus/$name/." "$corpus/" 2>/dev/null || true
  echo "fuzzing $name for ${seconds}s"
  if ! (cd "$corpus" && "$target" -max_total_time="$seconds" -max_len=2048 -timeout=10 "$corpus" >fuzz.log 2>&1); then
    tail -40 "$corpus/fuzz.log"; echo "fuzz target $name failed"; exit 1
  fi
  tail -1 "$corpus/fuzz.log"
  rm -rf "$corpus"
done
