#!/usr/bin/env bash
# Runs every fuzz target: first the inputs that once failed it
# (tests/fuzz/regressions/<target>/), then for a bounded time on a copy of its
# seed corpus. Any crash, leak, stall, input slower than its time limit or
# memory beyond its limit fails the run; the input is kept under
# DIR/findings/<target>/ and printed as base64.
# Usage: run-fuzzers.sh DIR SECONDS [TARGET...]
set -euo pipefail
dir=$(cd "$1" && pwd); seconds=$2; shift 2
root=$(cd "$(dirname "$0")/../.." && pwd)

# Requests go beyond the shipped maxRequestSize (16000); a request that takes
# a second, or a process that grows past 1 GiB, is a finding.
limits=(-timeout=2 -rss_limit_mb=1024 -malloc_limit_mb=64)
options_for() {
  case "$1" in
    template) echo "-max_len=8192 ${limits[*]}" ;;
    *) echo "-max_len=65536 -len_control=20 ${limits[*]}" ;;
  esac
}

# Says where the failing input is and what it holds, then fails the run.
finding() { # name log [input]
  local name=$1 log=$2 input=${3:-}
  tail -40 "$log"
  [ -n "$input" ] || input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
  if [ -n "$input" ] && [ -f "$input" ]; then
    echo "the input is kept in $input ($(stat -c %s "$input") bytes); as base64:"
    base64 -w 0 "$input"; echo
    echo "replay it with $dir/fuzz_$name $(options_for "$name") $input"
    [[ $input == "$root/tests/fuzz/regressions/"* ]] \
      || echo "once it is fixed, keep it in tests/fuzz/regressions/$name/ so that every run replays it"
  fi
  echo "fuzz target $name failed (its log: $log)"
  exit 1
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
  findings=$dir/findings/$name
  mkdir -p "$findings"

  regressions=("$root/tests/fuzz/regressions/$name"/*)
  if [ -f "${regressions[0]}" ]; then
    echo "replaying the ${#regressions[@]} input(s) that once failed $name"
    for input in "${regressions[@]}"; do
      # shellcheck disable=SC2046
      "$dir/fuzz_$name" $(options_for "$name") "$input" >"$findings/replay.log" 2>&1 \
        || finding "$name" "$findings/replay.log" "$input"
    done
  fi

  corpus=$(mktemp -d)
  cp -r "$seeds/." "$corpus/"
  echo "fuzzing $name for ${seconds}s"
  # shellcheck disable=SC2046
  (cd "$corpus" && "$dir/fuzz_$name" -max_total_time="$seconds" -artifact_prefix="$findings/" \
    $(options_for "$name") "$corpus" >"$findings/fuzz.log" 2>&1) || finding "$name" "$findings/fuzz.log"
  grep -E '^Done [0-9]+ runs' "$findings/fuzz.log" || tail -1 "$findings/fuzz.log"
  rm -rf "$corpus"
done
