#!/usr/bin/env bash
# Runs the 32-bit harness N times in a row, each time on a newly made Wine
# prefix, on one road, and prints each run's result and time: the first run
# on a new prefix is where start-up races show.
# Usage: wine-fresh-prefixes.sh native|emulate N BUILD [harness arguments...]
set -uo pipefail
road=$1 runs=$2
build=$(cd "$3" && pwd)
shift 3
root=$(cd "$(dirname "$0")/../.." && pwd)
failed=0
for run in $(seq "$runs"); do
  rm -rf "$build/wineprefix"
  start=$(date +%s)
  OSTRA_WINE32=$road OSTRA_HELPERS64=${OSTRA_HELPERS64:-} "$root/tests/windows/wine-test.sh" 32 "$build" "$@" \
    >"$build/fresh-$road-$run.log" 2>&1
  status=$?
  summary=$(tr -d '\r' <"$build/fresh-$road-$run.log" | grep -E '^[0-9]+ passed' | tail -1)
  echo "run $run ($road, new prefix): status $status, $summary, $(( $(date +%s) - start )) s"
  [ $status = 0 ] || { failed=$((failed + 1)); grep -E '^FAIL|^ +[a-z_]+\.cpp:' "$build/fresh-$road-$run.log"; }
done
echo "$road: $((runs - failed)) of $runs runs passed"
[ $failed = 0 ]
