#!/usr/bin/env bash
# The README and the guides in docs/ name only what exists: every path of
# this tree written in backticks (the part before a placeholder such as
# <target> or …), every relative link, and every CTest case or label they
# name (`ctest -R NAME`, `ctest -L LABEL`, CTest `NAME`). The check first
# reads a page with one planted fault of each kind and must refuse it.
# Usage: check-docs.sh BUILD_DIR [FILE...]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: check-docs.sh BUILD_DIR [FILE...]}
shift
cd "$root"
tests=$(ctest --test-dir "$build" -N 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: //p')
labels=$(ctest --test-dir "$build" --print-labels 2>/dev/null | sed -n 's/^  //p')
[ -n "$tests" ] || { echo "FAIL: no CTest cases in $build"; exit 1; }
top='(app|server|template|resources|etc|native|packaging|tests|tools|bench|docs)/'

# check FILE: prints one line per name that does not exist; status 1 then.
check() {
  local file=$1 dir missing=0 span word name
  dir=$(dirname "$file")
  while IFS= read -r span; do
    for word in $span; do
      word=${word%%<*}
      word=${word%%…*}
      word=${word%%\**}
      word=${word%%\$*}
      word=${word%[.,;:)]}
      [[ $word =~ ^(\./)?$top ]] || [[ $word =~ ^\./(run|test)\.sh$ ]] || continue
      [ -e "$word" ] || { echo "$file: \`$word\` does not exist"; missing=1; }
    done
  done < <(grep -o '`[^`]*`' "$file" | tr -d '`')
  while IFS= read -r name; do
    [ -e "$dir/$name" ] || { echo "$file: the link ($name) leads nowhere"; missing=1; }
  done < <(grep -o '](\([^)#:]*\))' "$file" | sed 's/^](\(.*\))$/\1/' | grep -v '^$')
  while IFS= read -r name; do
    grep -qx "$name" <<<"$tests" || { echo "$file: no CTest case $name"; missing=1; }
  done < <({ grep -o '`ctest [^`]*-R [a-z0-9_]*' "$file" | sed 's/.*-R //'
             grep -o 'CTest `[a-z0-9_]*`' "$file" | sed 's/.*`\(.*\)`/\1/'; } | grep -v '^$')
  while IFS= read -r name; do
    grep -qx "$name" <<<"$labels" || { echo "$file: no CTest label $name"; missing=1; }
  done < <(grep -o '`ctest [^`]*-L [a-z0-9_]*' "$file" | sed 's/.*-L //')
  return $missing
}

planted=$(mktemp --suffix=.md)
trap 'rm -f "$planted"' EXIT
printf '%s\n' 'Run `tools/no-such-tool.sh` (see [the guide](no-such-guide.md)),' \
  '`ctest -R no_such_case`, `ctest -L no_such_label`.' >"$planted"
found=$(check "$planted")
for fault in no-such-tool.sh no-such-guide.md no_such_case no_such_label; do
  grep -q "$fault" <<<"$found" || { echo "FAIL: the check does not refuse a planted $fault"; exit 1; }
done

failures=0
files=("$@")
[ ${#files[@]} -gt 0 ] || files=(README.md docs/*.md)
for file in "${files[@]}"; do check "$file" || failures=$((failures + 1)); done
if [ $failures = 0 ]; then echo "${#files[@]} pages name only what exists"; else
  echo "FAIL: $failures of ${#files[@]} pages name what does not exist"; exit 1; fi
