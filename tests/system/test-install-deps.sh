#!/usr/bin/env bash
# install-deps.sh against package mirrors that fail, without touching the
# machine's apt: a private apt state, source list and dpkg database
# (APT_CONFIG, DPKG_ADMINDIR), a package source of our own served on
# loopback, and apt's simulation mode. Each row makes a new source and state.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. /etc/os-release
if [ "${VERSION_CODENAME:-}" != bookworm ]; then
  echo "SKIP: the backports rows are for Debian 12 (this is ${VERSION_CODENAME:-unknown})"; exit 77
fi

work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
repo=$work/repo/debian
mkdir -p "$repo"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/repo" >"$work/http.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/http.log" | head -1)
  [ -n "$port" ] && break; sleep 0.1
done
[ -n "$port" ] || { cat "$work/http.log"; echo "FAIL: the package source did not start"; exit 1; }

stanza() { # name version arch [field...]
  printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: t <t@t>\nDescription: t\n' "$1" "$2" "$3"
  printf 'Filename: pool/%s_%s_%s.deb\nSize: 1\nSHA256: %064d\n' "$1" "$2" "$3" 0
  shift 3; local f; for f in "$@"; do printf '%s\n' "$f"; done; echo
}
# What each suite holds: Wine's halves, a library whose update reached amd64
# and i386 alike (the i386 index of the update suite is the one that fails),
# and the two emulators.
suite_packages() { # suite arch
  case "$1:$2" in
    bookworm:*)
      stanza libwine 8.0-1 "$2" "Multi-Arch: same" "Depends: libfoo (>= 1.0)"
      # Without it, no version of libfoo is there for both architectures.
      [ "$2:${no_common_version:-}" = i386:1 ] || stanza libfoo 1.0-1 "$2" "Source: foo" "Multi-Arch: same"
      if [ "$2" = amd64 ]; then
        stanza wine 8.0-1 amd64 "Depends: libwine (= 8.0-1)"
        stanza libfoo-dev 1.0-1 amd64 "Source: foo" "Depends: libfoo (= 1.0-1)"
        stanza qemu-user 1:7.2+dfsg-7 amd64
        stanza qemu-user-static 1:7.2+dfsg-7 amd64
      else
        stanza wine32 8.0-1 i386 "Depends: libwine (= 8.0-1)"
      fi ;;
    bookworm-security:*)
      stanza libfoo 1.0-1+deb12u1 "$2" "Source: foo" "Multi-Arch: same"
      [ "$2" != amd64 ] || stanza libfoo-dev 1.0-1+deb12u1 amd64 "Source: foo" "Depends: libfoo (= 1.0-1+deb12u1)" ;;
    bookworm-backports:amd64)
      stanza qemu-user 1:10.0.2+ds-2~bpo12+1 amd64 ${unusable_backports:+"Depends: libmissing"} ;;
  esac
}
# A suite's Release names each index with its hash and size; a broken index
# is changed after that, as a mirror in mid-sync serves it.
make_suite() { # suite broken-arch|""
  local dir=$repo/dists/$1 arch
  mkdir -p "$dir"
  { printf 'Suite: %s\nCodename: %s\nArchitectures: amd64 i386\nComponents: main\nDate: %s\nSHA256:\n' \
      "$1" "$1" "$(date -Ru)"
    for arch in amd64 i386; do
      mkdir -p "$dir/main/binary-$arch"
      suite_packages "$1" "$arch" >"$dir/main/binary-$arch/Packages"
      printf ' %s %s main/binary-%s/Packages\n' "$(sha256sum <"$dir/main/binary-$arch/Packages" | cut -d' ' -f1)" \
        "$(stat -c %s "$dir/main/binary-$arch/Packages")" "$arch"
    done; } >"$dir/Release"
  [ -z "$2" ] || stanza late 1 "$2" >>"$dir/main/binary-$2/Packages"
}

# A private apt and dpkg with "installed" packages given as name=version.
make_state() {
  rm -rf "$work/state"; mkdir -p "$work/state"/{lists/partial,cache/archives/partial,sources,parts,prefs,log,dpkg/info,dpkg/updates}
  local s=$work/state p
  printf 'amd64\ni386\n' >"$s/dpkg/arch"
  for p in "$@"; do
    printf 'Package: %s\nStatus: install ok installed\nArchitecture: amd64\nVersion: %s\nMaintainer: t <t@t>\nDescription: t\n' "${p%%=*}" "${p#*=}"
    [ "${p%%=*}" != libfoo-dev ] || echo "Depends: libfoo (= ${p#*=})"
    [ "${p%%=*}" != libfoo ] || echo "Multi-Arch: same"
    echo
  done >"$s/dpkg/status"
  printf 'Types: deb\nURIs: http://127.0.0.1:%s/debian\nSuites: bookworm bookworm-security\nComponents: main\n' "$port" >"$s/sources/debian.sources"
  cat >"$s/apt.conf" <<EOF
Dir::State "$s"; Dir::State::Lists "$s/lists"; Dir::State::status "$s/dpkg/status";
Dir::Cache "$s/cache"; Dir::Log "$s/log";
Dir::Etc::SourceList "$s/sources/none.list"; Dir::Etc::SourceParts "$s/sources";
Dir::Etc::Parts "$s/parts"; Dir::Etc::Preferences "$s/prefs/none"; Dir::Etc::PreferencesParts "$s/prefs";
APT::Architecture "amd64"; APT::Architectures { "amd64"; "i386"; };
APT::Sandbox::User "$(id -un)"; Debug::NoLocking "true"; Acquire::Languages "none";
Acquire::AllowInsecureRepositories "true"; APT::Get::AllowUnauthenticated "true";
EOF
}

# Everything the native group needs but Wine is there already.
installed_base=()
# shellcheck source=install-deps.sh
while read -r p; do installed_base+=("$p=1"); done < <(bash -c ". '$root/tools/install-deps.sh'; packages_for native; printf '%s\n' \"\${pkgs[@]}\"" | sort -u)

failures=0 rows=0
run_row() { # name expected-status broken-security-arch broken-backports installed... -- expected lines...
  local name=$1 want=$2 broken=$3 broken_bpo=$4; shift 4
  local installed=() expect=() out status=0
  while [ $# -gt 0 ] && [ "$1" != -- ]; do installed+=("$1"); shift; done
  shift; expect=("$@")
  rm -rf "$repo/dists"
  make_suite bookworm ""
  make_suite bookworm-security "$broken"
  make_suite bookworm-backports "$broken_bpo"
  make_state "${installed_base[@]}" "${installed[@]}"
  rows=$((rows + 1))
  out=$(APT_CONFIG=$work/state/apt.conf DPKG_ADMINDIR=$work/state/dpkg TORVANE_APT_SIMULATE=1 TORVANE_APT_RETRY_PAUSE=0 \
    timeout 300 "$root/tools/install-deps.sh" native 2>&1) || status=$?
  local e missing=()
  for e in "${expect[@]}"; do
    case "$e" in
      !*) ! grep -qF -- "${e#!}" <<<"$out" || missing+=("unexpected: ${e#!}") ;;
      file:*) [ -f "$work/state/sources/${e#file:}" ] || missing+=("no file ${e#file:}") ;;
      nofile:*) [ ! -f "$work/state/sources/${e#nofile:}" ] || missing+=("file ${e#nofile:} left behind") ;;
      *) grep -qF -- "$e" <<<"$out" || missing+=("missing: $e") ;;
    esac
  done
  if [ "$status" != "$want" ] || [ ${#missing[@]} -gt 0 ]; then
    failures=$((failures + 1))
    printf 'FAIL %s (status %s, expected %s)\n' "$name" "$status" "$want"
    printf '  %s\n' "${missing[@]}"; sed 's/^/  | /' <<<"$out"
  else
    echo "PASS $name"
  fi
}

q10=qemu-user=1:10.0.2+ds-2~bpo12+1
q72=qemu-user-static=1:7.2+dfsg-7
skew=(libfoo=1.0-1+deb12u1 libfoo-dev=1.0-1+deb12u1)
index='could not serve the index bookworm-security main i386 ("File has unexpected size'

run_row "a whole mirror installs Wine's halves at the update" 0 "" "" "${skew[@]}" "$q10" -- \
  "Inst libfoo:i386 (1.0-1+deb12u1" "Inst wine32:i386" "!note:" "!Remv"
run_row "a mirror in mid-sync: named, and both halves pinned where i386 sees them" 0 i386 "" "${skew[@]}" "$q10" -- \
  "$index" "with their amd64 twins: libfoo 1.0-1" "Inst libfoo [1.0-1+deb12u1] (1.0-1 " \
  "Inst libfoo-dev [1.0-1+deb12u1] (1.0-1 " "Inst libfoo:i386 (1.0-1 " "Inst wine32:i386" "!Remv"
no_common_version=1
run_row "a mid-sync mirror that leaves no common version stops with the mirror named" 1 i386 "" "${skew[@]}" "$q10" -- \
  "install-deps.sh: the install failed, and the package mirror could not serve the index bookworm-security main i386" \
  "This is the mirror" "another Debian mirror"
unset no_common_version

run_row "backports fine" 0 "" "" -- "Adding Debian's bookworm-backports" "Inst qemu-user (1:10.0.2" \
  "the emulated road uses qemu-user from bookworm-backports" "file:bookworm-backports.sources"
run_row "backports index fails: the source stays, 7.2 for now" 0 "" amd64 -- \
  "Inst qemu-user-static (1:7.2" "the mirror's bookworm-backports index could not be read; the next run tries again" \
  "file:bookworm-backports.sources" "!cannot be installed"
unusable_backports=1
run_row "backports install fails on its own: the source goes, 7.2" 0 "" "" -- \
  "Inst qemu-user-static (1:7.2" "qemu-user from bookworm-backports cannot be installed here; its source is removed again" \
  "nofile:bookworm-backports.sources"
run_row "7.2 in place, backports still unusable: one quiet line" 0 "" "" "$q72" -- \
  "the emulated road uses Debian 12's qemu-user-static 1:7.2+dfsg-7" "!Adding Debian's" "!Inst qemu-user-static" \
  "!E:"
unset unusable_backports
run_row "7.2 in place, backports usable again: taken" 0 "" "" "$q72" -- \
  "the emulated road uses qemu-user from bookworm-backports" "!Adding Debian's" "!Inst qemu-user"

echo "$((rows - failures)) of $rows rows passed"
[ $failures = 0 ]
