#!/usr/bin/env bash
# Pipe throughput of the native library under Wine, beside plain
# WriteFile/ReadFile loops moving the same length-prefixed blocks.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh native
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target ostranative_i686 ostranative_x86_64
dir=build/native-x86_64
export WINEPREFIX=$PWD/$dir/wineprefix WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
cp $dir/ostranative.dll $dir/tests/
cd $dir/tests && /usr/lib/wine/wine64 ./ostranative_pipebench.exe 2>/dev/null
