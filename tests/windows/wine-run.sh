#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine in a prefix of the build tree
# (made once, made again when it is not whole), without a display.
# Usage: wine-run.sh PREFIX PROGRAM [arguments...]
set -uo pipefail
prefix=$1 program=$2
shift 2
loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [ ! -x "$loader" ]; then
  echo "FAIL: $loader is missing (tools/install-deps.sh native installs it)"
  exit 1
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  timeout 900 "$loader" wineboot -i >"$WINEPREFIX.log" 2>&1
  timeout 300 "$wineserver" -w >>"$WINEPREFIX.log" 2>&1 || true
  if [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
    echo "FAIL: the new Wine prefix is not whole; the last lines of $WINEPREFIX.log:"
    tail -20 "$WINEPREFIX.log"
    exit 1
  fi
fi
cd "$(dirname "$program")"
timeout "${WINE_RUN_TIMEOUT:-600}" "$loader" "$program" "$@"
status=$?
timeout 120 "$wineserver" -k >/dev/null 2>&1 || true
exit $status
