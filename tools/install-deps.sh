#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, skipping what is
# already there. Usage: tools/install-deps.sh [client|test|native|bench|package]...
#
# A package mirror in mid-sync does not stop it: an index that still fails
# after apt's retries and one more try is named, and the install decides.
# Every failure ends with a line of ours that says what to do.
#
# TORVANE_APT_SIMULATE=1 runs every install in apt's simulation mode without
# sudo; with APT_CONFIG and DPKG_ADMINDIR pointing at a private apt state and
# package source, nothing of the machine's own is touched (tests/system/test-install-deps.sh).
# TORVANE_APT_RETRY_PAUSE: seconds before the second apt-get update (default 20).
set -Eeuo pipefail

me=install-deps.sh
note() { echo "note: $*"; }
fail() { echo "$me: $*" >&2; exit 1; }
trap 'fail "stopped: \`$BASH_COMMAND\` ended with status $? (line $LINENO)"' ERR

simulate=${TORVANE_APT_SIMULATE:-0}
SUDO=""
[ "$(id -u)" = 0 ] || [ "$simulate" = 1 ] || SUDO=sudo
# Every change to the system goes through sudo for an ordinary account; sudo
# drops the environment, so the front end is given on its command line.
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
apt_install() {
  if [ "$simulate" = 1 ]; then
    local out status=0
    out=$(apt-get install -s -y --no-install-recommends "$@" 2>&1) || status=$?
    grep -E '^(Inst|Remv|E:)' <<<"$out" || true
    return $status
  fi
  apt_get install -y -qq --no-install-recommends "$@" >/dev/null
}
as_root() { if [ "$simulate" = 1 ]; then echo "would run: $*"; else $SUDO "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
qemu_version() { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p' || true; }

# The package source files apt reads (APT_CONFIG may point elsewhere).
sources_list() { eval "$(apt-config shell f Dir::Etc::sourcelist/f)"; echo "$f"; }
sources_dir() { eval "$(apt-config shell d Dir::Etc::sourceparts/d)"; echo "${d%/}"; }

packages_for() {
  pkgs=(build-essential cmake pkg-config qtbase5-dev qtbase5-private-dev libqt5network5 openssl curl python3)
  local g
  for g in "$@"; do
    case "$g" in
      client) pkgs+=(qtwebengine5-dev libqt5webchannel5-dev libjs-jquery xvfb xauth mkcert libnss3-tools x11-utils imagemagick xdotool xdg-utils) ;;
      test) pkgs+=(qtwebengine5-dev libqt5webchannel5-dev libjs-jquery xvfb xauth mkcert libnss3-tools clang libclang-rt-14-dev libhttp-parser-dev x11-utils imagemagick xdotool xdg-utils chromium
                   mutter sway xwayland qtwayland5 python3-dbusmock dbus-daemon libglib2.0-bin x11-xserver-utils) ;;
      native) pkgs+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 openjdk-17-jdk-headless wine64 xvfb xauth qtbase5-dev-tools) ;;
      bench) pkgs+=(wrk nginx-light libcpp-httplib-dev) ;;
      package) pkgs+=(dpkg-dev lintian xdg-utils desktop-file-utils appstream) ;;
      *) echo "unknown group $g" >&2; exit 2 ;;
    esac
  done
}

# apt-get update, with apt's own retries and then one more try after a pause.
# Indexes that still fail are named in one line and left out: a mirror in
# mid-sync serves an index that fails its size or hash check for hours. Sets
# failed_indexes ("suite component arch reason" per line).
failed_indexes=""
apt_update() {
  local log attempt pause=${TORVANE_APT_RETRY_PAUSE:-20}
  log=$(mktemp)
  for attempt in 1 2; do
    if apt_get -o Acquire::Retries=3 update -qq >"$log" 2>&1; then
      failed_indexes=""; rm -f "$log"; return 0
    fi
    [ $attempt = 2 ] || { note "apt-get update failed; trying again in ${pause}s"; sleep "$pause"; }
  done
  # "E: Failed to fetch URL  reason" for each index that could not be read.
  failed_indexes=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/\1 \2/p' "$log" | sed -E \
    -e 's#^[^ ]*/dists/([^ ]*)/([^/ ]*)/binary-([^/ ]*)/[^ ]* #\1 \2 \3 #' \
    -e 's#^[^ ]*/dists/([^/ ]*)/[^ ]* #\1 all any #' -e 's/ \[IP: [^]]*\]$//')
  if [ -z "$failed_indexes" ]; then
    cat "$log" >&2; rm -f "$log"
    fail "apt-get update failed (above) and names no index it could not fetch: check the package sources and apt's lock"
  fi
  rm -f "$log"
  note "the package mirror could not serve the index $(describe_indexes), after apt's retries and a second try;" \
    "going on without it (apt keeps an older copy where it has one): the install decides"
}
describe_indexes() {
  awk '{ reason = $0; sub(/^[^ ]* [^ ]* [^ ]* /, "", reason)
         printf "%s%s %s %s (\"%s\")", (NR > 1 ? "; " : ""), $1, $2, $3, reason }' <<<"$failed_indexes"
}

mirror_failed() {
  fail "the install failed, and the package mirror could not serve the index $(describe_indexes)." \
    "This is the mirror (it is part-way through a sync), not this machine: run the same command again" \
    "in an hour or two, or point the machine's package sources at another Debian mirror."
}

# The i386 half of a package (Wine's 32-bit side) needs every Multi-Arch: same
# library at exactly its amd64 twin's version. With the i386 index of an
# update suite missing, the amd64 candidates are newer than anything i386
# sees, so both halves are pinned, per source package, at the version the
# i386 index has. Only the packages that differ are pinned.
install_aligned() {
  local p i386=() prefs closure skew
  for p in "$@"; do [[ $p == *:i386 ]] && i386+=("$p"); done
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${i386[@]}" 2>/dev/null | sed -n 's/^\([^ <][^ ]*\):i386$/\1:i386/p' | sort -u)
  [ -n "$closure" ] || return 1
  # "name source version" of the i386 candidates that are Multi-Arch: same.
  skew=$(apt-cache show --no-all-versions $closure 2>/dev/null | awk '
      /^Package:/ { p = $2; s = $2; ma = "" } /^Source:/ { s = $2 } /^Version:/ { v = $2 }
      /^Multi-Arch:/ { ma = $2 } /^$/ { if (p != "" && ma == "same") print p, s, v; p = "" }' | sort -u)
  # Keep those whose amd64 candidate differs.
  skew=$(awk 'NR == FNR && /^[^ ]/ { name = $1; sub(/(:amd64)?:$/, "", name); next }
              NR == FNR { if ($1 == "Candidate:") amd64[name] = $2; next }
              amd64[$1] != "" && amd64[$1] != $3' \
    <(apt-cache policy $(awk '{ print $1 ":amd64" }' <<<"$skew") 2>/dev/null) - <<<"$skew")
  [ -n "$skew" ] || return 1
  prefs=$(mktemp)
  [ ! -f /etc/apt/preferences ] || cat /etc/apt/preferences >"$prefs"
  awk '{ printf "\nPackage: src:%s:any\nPin: version %s\nPin-Priority: 1001\n", $2, $3 }' <<<"$skew" >>"$prefs"
  chmod 644 "$prefs"
  note "installing the i386 half at the versions both architectures see, with their amd64 twins:" \
    "$(awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $3 }' <<<"$skew")" \
    "(a later apt-get upgrade raises them again once the mirror is whole)"
  local status=0
  apt_install --no-remove --allow-downgrades -o Dir::Etc::Preferences="$prefs" "$@" || status=$?
  rm -f "$prefs"
  return $status
}

install_missing() {
  apt_install "$@" && return 0
  [ -n "$failed_indexes" ] || fail "apt-get could not install $* (its message is above)"
  if grep -q ' i386 ' <<<"$failed_indexes" && [[ " $* " == *:i386\ * ]] && install_aligned "$@"; then
    return 0
  fi
  mirror_failed
}

# The Debian mirror (URI) and key ring that the machine's own package sources
# use for a release, as "URI KEYRING" (the key ring may be missing).
debian_mirror() {
  local codename=$1 found
  # deb822 .sources files: a stanza of type deb whose suites name the release.
  found=$(cat "$(sources_dir)"/*.sources 2>/dev/null | awk -v want="$codename" '
    function flush() {
      if (!done && types ~ /(^| )deb( |$)/ && enabled != "no" && (" " suites " ") ~ (" " want " ") && uri != "") {
        print uri, keyring; done = 1
      }
      types = suites = uri = keyring = enabled = ""
    }
    /^[[:space:]]*$/ { flush(); next }
    /^#/ { next }
    tolower($1) == "types:" { $1 = ""; types = substr($0, 2) }
    tolower($1) == "suites:" { $1 = ""; suites = substr($0, 2) }
    tolower($1) == "uris:" { uri = $2 }
    tolower($1) == "signed-by:" && $2 ~ /^\// { keyring = $2 }
    tolower($1) == "enabled:" { enabled = tolower($2) }
    END { flush() }')
  # One-line sources: deb [options] URI SUITE COMPONENTS...
  [ -n "$found" ] || found=$(cat "$(sources_list)" "$(sources_dir)"/*.list 2>/dev/null \
    | sed 's/\[[^]]*\]//' | awk -v want="$codename" '$1 == "deb" && $3 == want { print $2; exit }')
  echo "$found"
}

# qemu-user 10 from bookworm-backports, on Debian 12. Returns 1 with
# why_not set when it cannot be had this time. A backports index that the
# mirror fails to serve says nothing about backports: the source stays and
# the next run tries again. Only an install that fails on its own removes a
# source this script added.
qemu_from_backports() {
  local codename version_id source_file added=0 mirror keyring
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  version_id=$(. /etc/os-release && echo "${VERSION_ID:-}")
  source_file=$(sources_dir)/$codename-backports.sources
  if [ "$version_id" != 12 ] || [ "$codename" != bookworm ]; then
    why_not="this is not Debian 12 (${codename:-unknown})"; return 1
  fi
  if ! grep -rqs "$codename-backports" "$(sources_list)" "$(sources_dir)"; then
    read -r mirror keyring <<<"$(debian_mirror "$codename")" || true
    if [ -z "${mirror:-}" ]; then
      why_not="the package sources name no Debian mirror for $codename"; return 1
    fi
    $quiet || echo "Adding Debian's $codename-backports from $mirror to the package sources ($source_file)"
    { printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\n' "$mirror" "$codename"
      [ -z "${keyring:-}" ] || printf 'Signed-By: %s\n' "$keyring"; } | $SUDO tee "$source_file" >/dev/null
    added=1
  fi
  $quiet || echo "Installing: qemu-user from $codename-backports"
  apt_update >/dev/null
  if grep -q "^$codename-backports " <<<"$failed_indexes"; then
    why_not="the mirror's $codename-backports index could not be read; the next run tries again"; return 1
  fi
  local log status=0
  log=$(mktemp)
  apt_install -t "$codename-backports" qemu-user >"$log" 2>&1 || status=$?
  if [ $status = 0 ]; then $quiet || cat "$log"; rm -f "$log"; return 0; fi
  $quiet || cat "$log" >&2
  rm -f "$log"
  why_not="qemu-user from $codename-backports cannot be installed here"
  if [ $added = 1 ]; then
    why_not+="; its source is removed again"
    $SUDO rm -f "$source_file"
    apt_update >/dev/null || true
  fi
  return 1
}

# The 32-bit harness runs under qemu-user where the kernel refuses i386
# programs (and always in a case of its own). Debian 12's qemu 7.2 ends Wine
# processes now and then and loses data of pipe transfers between threads;
# qemu 10 from bookworm-backports does neither, and is taken when reachable.
# A run that finds the 7.2 fallback in place tries backports again, quietly.
ensure_qemu() {
  local current static why_not="" quiet=false
  current=$(qemu_version qemu-user)
  if [ -n "$current" ] && dpkg --compare-versions "$current" ge 1:8; then return 0; fi
  static=$(qemu_version qemu-user-static)
  [ -z "$static" ] || quiet=true
  if qemu_from_backports; then
    current=$(qemu_version qemu-user)
    echo "the emulated road uses qemu-user${current:+ $current} from bookworm-backports"
    return 0
  fi
  if [ -z "$static" ]; then
    apt_install qemu-user-static || fail "neither qemu-user from bookworm-backports ($why_not) nor Debian 12's qemu-user-static could be installed"
  fi
  echo "the emulated road uses Debian 12's qemu-user-static ${static:-7.2} ($why_not)"
}

main() {
  local groups=("$@") g p
  [ ${#groups[@]} -gt 0 ] || groups=(client)
  packages_for "${groups[@]}"

  local missing=() needs_node=0 needs_wine=0
  for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
  for g in "${groups[@]}"; do
    [ "$g" = test ] && needs_node=1
    [ "$g" = native ] && needs_wine=1
  done
  # The browser tests run on Node.js; the machine's own one is used when present.
  if [ $needs_node = 1 ] && ! command -v npm >/dev/null; then missing+=(nodejs npm); fi

  if [ $needs_wine = 1 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "Adding the foreign architecture i386 (for Wine's 32-bit half)"
      as_root dpkg --add-architecture i386
    fi
    for p in wine wine32:i386; do installed "$p" || missing+=("$p"); done
  fi

  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt_update
    install_missing "${missing[@]}"
  fi

  [ $needs_wine = 0 ] || ensure_qemu

  # The browser tests' npm packages (playwright-core drives Debian's Chromium).
  if [ $needs_node = 1 ] && [ "$simulate" != 1 ]; then
    local browser_tests
    browser_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
    if [ ! -d "$browser_tests/node_modules/playwright-core" ]; then
      (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error) \
        || fail "npm ci in $browser_tests failed (its message is above): the npm registry must be reachable"
    fi
  fi
}

# Sourced by the set-up test for its functions; run otherwise.
[ "${BASH_SOURCE[0]}" != "$0" ] || main "$@"
