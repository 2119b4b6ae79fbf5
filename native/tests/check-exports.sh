#!/usr/bin/env bash
# Compares the 32-bit DLL's export table with the expected list and checks
# that it imports only the Windows system libraries it may load at start.
set -euo pipefail
dll=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
dump=$(i686-w64-mingw32-objdump -p "$dll")
actual=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\] //p' | sort)
if ! diff <(printf '%s\n' "$actual") "$root/native/tests/expected-exports.txt"; then
  echo "FAIL: the export table differs from native/tests/expected-exports.txt (< actual, > expected)"
  exit 1
fi
echo "exports: $(printf '%s\n' "$actual" | wc -l) names as expected"
imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
allowed="advapi32.dll kernel32.dll user32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll"
for name in $imports; do
  case " $allowed " in
    *" $name "*) ;;
    *) echo "FAIL: imports $name at load time"; exit 1 ;;
  esac
done
echo "imports: $(echo $imports)"
echo "1 passed, 0 failed"
