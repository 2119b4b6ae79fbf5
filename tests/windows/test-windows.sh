#!/usr/bin/env bash
# The server library, the templates, the command layer and the request gate
# as Windows programs: cross-built with MinGW-w64 against the small Windows
# Qt of tools/build-windows-qt.sh (made once per machine), their QtTest
# suites run under Wine (the rows that cannot hold on Windows skip and say
# why; their count is printed), and the client's Windows-only sources
# compiled, so that a fault there fails the run too.
# Usage: tests/windows/test-windows.sh [SUITE...]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build-windows
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(tst_httpresponse tst_httprequest tst_httpserver tst_sessions tst_templates
  tst_staticfiles tst_commands tst_clientplatform)

started=$(date +%s)
qt=$("$root/tools/build-windows-qt.sh" | tail -1) || { echo "FAIL: no Windows Qt"; exit 1; }
echo "Windows Qt: $qt ($(( $(date +%s) - started )) s)"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/mingw-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DTORVANE_BUILD_CLIENT=OFF -DTORVANE_BUILD_NATIVE=OFF \
  -DTORVANE_WINDOWS_SOURCES=ON >"$build/configure.log" 2>&1 \
  || { tail -20 "$build/configure.log"; echo "FAIL: the Windows build does not configure"; exit 1; }
cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1 \
  || { grep -E 'error|Error' "$build/build.log" | head -30; echo "FAIL: the Windows build does not build"; exit 1; }
echo "built for Windows ($(( $(date +%s) - started )) s so far)"

# Qt's DLLs and MinGW's runtime, found by Wine through WINEPATH.
windows_path() { echo "Z:${1//\//\\}"; }
runtime_dirs=("$qt/bin" "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
  /usr/x86_64-w64-mingw32/lib)
WINEPATH=""
for dir in "${runtime_dirs[@]}"; do WINEPATH+="${WINEPATH:+;}$(windows_path "$dir")"; done
export WINEPATH

failed=0 passed=0 skipped=0
for suite in "${suites[@]}"; do
  # QtTest's output goes to a file: a Windows program's standard output
  # does not reach a pipe here.
  out=$build/tests/$suite.txt
  rm -f "$out"
  WINE_RUN_TIMEOUT=900 "$root/tests/windows/wine-run.sh" "$build/wineprefix" "$build/tests/$suite.exe" -o "$suite.txt,txt" \
    >"$build/$suite.log" 2>&1
  status=$?
  [ -f "$out" ] || cp "$build/$suite.log" "$out"
  totals=$(tr -d '\r' <"$out" | sed -n 's/^Totals: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped.*/\1 \2 \3/p' | tail -1)
  if [ -z "$totals" ] || [ $status != 0 ]; then
    tr -d '\r' <"$out" | grep -E '^(FAIL|   Loc|   Actual|   Expected)' | head -30
    [ -n "$totals" ] || tail -20 "$out"
    echo "FAIL: $suite under Wine (status $status)"
    failed=$((failed + 1))
  fi
  read -r p f s <<<"${totals:-0 0 0}"
  passed=$((passed + p)) skipped=$((skipped + s))
  echo "$suite: $p passed, $f failed, $s skipped"
  tr -d '\r' <"$out" | sed -n 's/^SKIP   : \([^ ]*\) \(.*\)$/  skipped \1: \2/p'
done
echo "under Wine: $passed rows passed, $skipped skipped (they cannot hold on Windows), $failed suites failed" \
  "($(( $(date +%s) - started )) s)"
[ $failed = 0 ]
