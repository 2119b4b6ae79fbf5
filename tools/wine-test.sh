#!/usr/bin/env bash
# Runs the native library's test harness under Wine in a prefix of the build
# tree. The 32-bit harness runs where this machine can execute 32-bit
# programs; elsewhere the 64-bit build of the same sources runs instead.
# Usage: wine-test.sh BUILD-32 BUILD-64 [harness arguments...]
set -uo pipefail
build32=$(cd "$1" && pwd); build64=$(cd "$2" && pwd); shift 2
export WINEPREFIX="$build64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
log="$build64/wine.log"
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
[ -x "$wine64" ] || wine64=$(command -v wine64 || true)

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  timeout 300 "$wine64" wineboot -i >>"$log" 2>&1
  timeout 60 "$(dirname "$wine64")/wineserver" -w >>"$log" 2>&1 || true
fi

# Windows and dialogs need a display: without one, a private Xvfb.
display=()
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  display=(xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp")
fi

run_harness() {
  local loader=$1 dir=$2; shift 2
  cp "$dir/ostranative.dll" "$dir/tests/" 2>/dev/null
  (cd "$dir/tests" && timeout 900 "${display[@]}" "$loader" ./ostranative_tests.exe "$@" 2>>"$log")
}

# The probe leaves Wine's desktop process running for a moment; windows made
# while it lives would land on its display, so it gets the harness's display
# and the harness starts only once it has ended.
can_run_32bit() {
  [ -x "$wine32" ] || return 1
  (cd "$build32/tests" && timeout 60 "${display[@]}" "$wine32" ./ostranative_tests.exe --exit-now >/dev/null 2>>"$log")
  local status=$?
  timeout 60 "$(dirname "$wine64")/wineserver" -w >>"$log" 2>&1 || true
  [ $status = 7 ]
}

if can_run_32bit; then
  echo "running the 32-bit harness"
  run_harness "$wine32" "$build32" "$@"
else
  echo "this machine cannot execute 32-bit programs: running the 64-bit build of the same sources"
  run_harness "$wine64" "$build64" "$@"
fi
status=$?
timeout 60 "$(dirname "$wine64")/wineserver" -k >/dev/null 2>&1 || true
exit $status
