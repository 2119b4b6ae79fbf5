#!/usr/bin/env bash
# Runs the native library's test harness under Wine, in a prefix of its own
# build tree (made once, and made again when it is not whole).
# Usage: wine-test.sh 32|64 BUILD [harness arguments...]
#
# OSTRA_WINE32 chooses how the 32-bit harness runs:
#   native   only where the kernel executes i386 programs;
#   emulate  under qemu-user, in a private user and mount namespace whose own
#            binfmt_misc hands i386 programs to the emulator (nothing outside
#            that namespace changes);
#   (unset)  natively where possible, emulated elsewhere.
# A case that cannot run here ends with status 77 (CTest: skipped) and says
# why, as long as the other road runs the 32-bit harness; when neither can,
# it fails. OSTRA_QEMU_AT_LEAST=N skips (77) with older emulators.
set -uo pipefail
bits=$1
build=$(cd "$2" && pwd)
shift 2
binfmt=/proc/sys/fs/binfmt_misc
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
skip=77

# Both prefixes are 64-bit ones, which run 32-bit programs too, made by the
# 64-bit loader (seconds natively; its 32-bit steps take minutes under qemu).
maker=/usr/lib/wine/wine64
case "$bits" in
  32) loader=/usr/lib/wine/wine ;;
  64) loader=/usr/lib/wine/wine64 ;;
  *) echo "usage: wine-test.sh 32|64 BUILD [harness arguments...]" >&2; exit 2 ;;
esac
for program in "$loader" "$maker"; do
  if [ ! -x "$program" ]; then
    echo "FAIL: $program is missing (tools/install-deps.sh native installs it)"
    exit 1
  fi
done

# The emulator: qemu-user 10 from bookworm-backports where install-deps.sh
# could reach it, else Debian 12's qemu-user-static 7.2.
qemu=${OSTRA_QEMU:-}
if [ -z "$qemu" ]; then
  for candidate in /usr/bin/qemu-i386 /usr/bin/qemu-i386-static; do
    [ -x "$candidate" ] && { qemu=$candidate; break; }
  done
fi
qemu_version() { "$qemu" --version 2>/dev/null | sed -n '1s/.*version \([0-9.]*\).*/\1/p'; }

# Ends a case that cannot run here: skipped when the other road runs the
# 32-bit harness, failed when none does.
cannot_run() {
  if [ "${OSTRA_WINE32_OTHER_ROAD:-0}" = 1 ]; then
    echo "SKIP: $*"
    exit $skip
  fi
  echo "FAIL: $*"
  exit 1
}

if [ "$bits" = 32 ] && [ "${OSTRA_WINE_NAMESPACE:-0}" != 1 ]; then
  mode=${OSTRA_WINE32:-}
  native=0
  "$loader" --version >/dev/null 2>&1 && native=1
  if [ "$mode" = native ] || { [ -z "$mode" ] && [ $native = 1 ]; }; then
    if [ $native = 0 ]; then
      OSTRA_WINE32_OTHER_ROAD=1 cannot_run "this kernel does not execute i386 programs;" \
        "the emulated case runs the 32-bit harness under qemu-user"
    fi
    echo "running the 32-bit harness natively"
  else
    export OSTRA_WINE32_OTHER_ROAD=$native
    why="this kernel does not execute i386 programs"
    [ "$mode" = emulate ] && why="OSTRA_WINE32=emulate"
    [ -n "$qemu" ] || cannot_run "$why and qemu-user is missing (tools/install-deps.sh native installs it)"
    version=$(qemu_version)
    if [ -n "${OSTRA_QEMU_AT_LEAST:-}" ] && [ "${version%%.*}" -lt "$OSTRA_QEMU_AT_LEAST" ]; then
      OSTRA_WINE32_OTHER_ROAD=1 cannot_run "qemu-user $version is older than $OSTRA_QEMU_AT_LEAST," \
        "under which these tests are known to fail: they run natively where the kernel allows," \
        "and under qemu-user 10 from bookworm-backports"
    fi
    unshare -Urm true 2>/dev/null \
      || cannot_run "$why, and no private user namespace can be made here for qemu-user"
    echo "running the 32-bit harness under qemu-user $version ($why): expect it to be slow"
    exec env OSTRA_WINE_NAMESPACE=1 OSTRA_QEMU="$qemu" unshare -Urm "$0" "$bits" "$build" "$@"
  fi
fi

emulated=${OSTRA_WINE_NAMESPACE:-0}
if [ "$emulated" = 1 ]; then
  # Without a reserved guest address space, qemu-user 7.2 places its own
  # mappings where Wine must map the shared user data (0x7ffe0000) on some
  # machines, and every Wine process dies at start (c0000018). Reserving
  # the whole 32-bit space up front is what qemu 8.1 and later do anyway.
  export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000}
  if ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null \
    || ! printf ':ostra-i386:M::%s:%s:%s:F\n' "$i386_magic" "$i386_mask" "$qemu" >"$binfmt/register"; then
    cannot_run "cannot register qemu-user for i386 programs in a private namespace" \
      "(needs unprivileged user namespaces and Linux 6.7 or later)"
  fi
  "$loader" --version >/dev/null 2>&1 || cannot_run "the 32-bit Wine loader does not start under qemu-user"
fi

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
log="$build/wine.log"
: >"$log"
wineserver=/usr/lib/wine/wineserver
stop_wine() { timeout 120 "$wineserver" -k >/dev/null 2>&1 || true; }

# A prefix is whole when the system DLLs the harness loads are there, for
# 32-bit programs too where it runs them (a failed 32-bit half of wineboot
# leaves syswow64 empty and says nothing).
missing_from_prefix() {
  local dirs=(system32) dll dir
  [ "$bits" = 32 ] && dirs+=(syswow64)
  [ -f "$WINEPREFIX/system.reg" ] || { echo system.reg; return; }
  for dir in "${dirs[@]}"; do
    for dll in ntdll kernel32 advapi32 user32 shell32 ole32 comctl32 netapi32; do
      [ -f "$WINEPREFIX/drive_c/windows/$dir/$dll.dll" ] || { echo "$dir/$dll.dll"; return; }
    done
  done
}
make_prefix() {
  echo "creating the $bits-bit Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  timeout 900 "$maker" wineboot -i >>"$log" 2>&1
  timeout 300 "$wineserver" -w >>"$log" 2>&1 || true
}
missing=$(missing_from_prefix)
if [ -n "$missing" ]; then
  [ -e "$WINEPREFIX" ] && echo "the Wine prefix $WINEPREFIX is not whole ($missing is missing): made again"
  make_prefix
  missing=$(missing_from_prefix)
  if [ -n "$missing" ]; then
    echo "FAIL: the new Wine prefix is not whole ($missing is missing); the last lines of $log:"
    tail -20 "$log"
    exit 1
  fi
  # A 32-bit program must start in it, not only its files be there.
  # (Its Wine server has no display: it is ended before the harness starts.)
  if [ "$bits" = 32 ]; then
    "$loader" cmd /c echo ostra-started 2>>"$log" | grep -q ostra-started
    started=$?
    stop_wine
    if [ $started != 0 ]; then
      echo "FAIL: a 32-bit Windows program does not start in $WINEPREFIX; the last lines of $log:"
      tail -20 "$log"
      exit 1
    fi
  fi
fi

# Windows and dialogs need a display: without one, a private Xvfb.
display=()
if [ -z "${DISPLAY:-}" ]; then
  if ! command -v xvfb-run >/dev/null; then
    echo "FAIL: no display and no xvfb-run"
    exit 1
  fi
  display=(xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset")
fi

# Under emulation every 32-bit process starts slowly: the tests' helper
# programs are then the 64-bit builds, which run natively. The library
# under test stays the 32-bit one.
if [ "$emulated" = 1 ] && [ -n "${OSTRA_HELPERS64:-}" ] && [ -f "$OSTRA_HELPERS64/tests/windowhelper.exe" ]; then
  helpers=$(cd "$OSTRA_HELPERS64/tests" && pwd)
  export OSTRA_HELPER_DIR="Z:${helpers//\//\\}"
  echo "helper programs: the 64-bit builds in $helpers"
fi

cp "$build/ostranative.dll" "$build/tests/"
cd "$build/tests"
out="$build/harness.out"
: >"$out"
run_harness() {
  timeout 2400 "${display[@]}" "$loader" ./ostranative_tests.exe "$@" 2>>"$log" | tee -a "$out"
  return "${PIPESTATUS[0]}"
}
# Tests run by the last harness process (from its closing line).
ran_by_last_run() {
  tr -d '\r' <"$out" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed, [0-9]* skipped$/\1 \2/p' | tail -1 \
    | awk '{ print $1 + $2 }'
}
died() { [ "$1" -ge 124 ] && [ "$1" -ne 126 ]; }

run_harness "$@"
status=$?
# qemu-user now and then dies of a signal it cannot hand to Wine, at varying
# tests (each passes when run again). Under emulation the tests not yet
# reported then run in a new process, with a note. A death after the last
# test, two restarts in a row without a test reported, or more than ten in
# all fail the run; so does a failure reported before a death.
restarts=0 stalled=0 count=0 failed_before=0
args=("$@")
printf '%s\n' "${args[@]}" | grep -qx -- --except || args+=(--except)
while [ "$emulated" = 1 ] && died $status; do
  mapfile -t reported < <(tr -d '\r' <"$out" \
    | sed -n 's/^\(PASS\|FAIL\) \([A-Za-z0-9_]*\.[A-Za-z0-9_]*\)$/=\2/p')
  if [ ${#reported[@]} -gt $count ]; then stalled=0; else stalled=$((stalled + 1)); fi
  count=${#reported[@]}
  restarts=$((restarts + 1))
  [ $stalled -lt 2 ] && [ $restarts -le 10 ] || break
  echo "note: the emulator ended the harness (status $status) after ${#reported[@]} tests;" \
    "the others run in a new process"
  stop_wine
  grep -q '^FAIL [A-Za-z]' "$out" && failed_before=1
  run_harness "${args[@]}" "${reported[@]}"
  status=$?
  if [ $status = 0 ] && [ "$(ran_by_last_run)" = 0 ]; then
    echo "FAIL: the emulator ended the harness after its last test"
    status=1
  fi
  [ $status = 0 ] && [ $failed_before = 1 ] && status=1
done
stop_wine
[ $restarts -gt 0 ] && echo "note: $restarts restart(s) after the emulator ended the harness"
if died $status; then
  echo "FAIL: the harness ended abnormally (status $status); the last lines of $log:"
  tail -20 "$log"
fi
exit $status
