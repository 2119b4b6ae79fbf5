#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, skipping what is
# already there. Usage: tools/install-deps.sh [client|test|native|bench|package]...
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(client)

pkgs=(build-essential cmake pkg-config qtbase5-dev qtbase5-private-dev libqt5network5 openssl curl python3)
for g in "${groups[@]}"; do
  case "$g" in
    client) pkgs+=(qtwebengine5-dev libqt5webchannel5-dev libjs-jquery xvfb xauth mkcert libnss3-tools x11-utils imagemagick xdotool xdg-utils) ;;
    test) pkgs+=(qtwebengine5-dev libqt5webchannel5-dev libjs-jquery xvfb xauth mkcert libnss3-tools clang libclang-rt-14-dev libhttp-parser-dev x11-utils imagemagick xdotool xdg-utils chromium) ;;
    native) pkgs+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 openjdk-17-jdk-headless wine64 xvfb xauth) ;;
    bench) pkgs+=(wrk nginx-light libcpp-httplib-dev) ;;
    package) pkgs+=(dpkg-dev lintian xdg-utils desktop-file-utils appstream) ;;
    *) echo "unknown group $g" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

needs_node=0
for g in "${groups[@]}"; do [ "$g" = test ] && needs_node=1; done
# The browser tests run on Node.js; the machine's own one is used when present.
if [ $needs_node = 1 ] && ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi

SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
# Every change to the system goes through sudo for an ordinary account; sudo
# drops the environment, so the front end is given on its command line.
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
apt_install() { apt_get install -y -qq --no-install-recommends "$@" >/dev/null; }

needs_wine=0
for g in "${groups[@]}"; do [ "$g" = native ] && needs_wine=1; done
if [ $needs_wine = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the foreign architecture i386 (for Wine's 32-bit half)"
    $SUDO dpkg --add-architecture i386
    missing+=(wine wine32:i386)
  else
    for p in wine wine32:i386; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt_get update -qq
  apt_install "${missing[@]}"
fi

# The Debian mirror (URI) and key ring that the machine's own package sources
# use for a release, as "URI KEYRING" (the key ring may be missing).
debian_mirror() {
  local codename=$1 found
  # deb822 .sources files: a stanza of type deb whose suites name the release.
  found=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v want="$codename" '
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
  [ -n "$found" ] || found=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
    | sed 's/\[[^]]*\]//' | awk -v want="$codename" '$1 == "deb" && $3 == want { print $2; exit }')
  echo "$found"
}

# The 32-bit harness runs under qemu-user where the kernel refuses i386
# programs (and always in a case of its own). Debian 12's qemu 7.2 ends Wine
# processes now and then and loses data of pipe transfers between threads;
# qemu 10 from bookworm-backports does neither, and is taken when reachable.
# Where it is not, the fallback qemu-user-static stays, and later runs take
# it as it is instead of asking the package sources again.
qemu_version() { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p' || true; }
if [ $needs_wine = 1 ]; then
  current=$(qemu_version qemu-user)
  if { [ -z "$current" ] || dpkg --compare-versions "$current" lt 1:8; } && [ -z "$(qemu_version qemu-user-static)" ]; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    version_id=$(. /etc/os-release && echo "${VERSION_ID:-}")
    source_file=/etc/apt/sources.list.d/$codename-backports.sources
    added=0 from_backports=0
    if [ "$version_id" != 12 ] || [ "$codename" != bookworm ]; then
      echo "note: this is not Debian 12 (${codename:-unknown}): no backports source is added"
    elif grep -rqs "$codename-backports" /etc/apt/sources.list /etc/apt/sources.list.d; then
      from_backports=1
    else
      read -r mirror keyring <<<"$(debian_mirror "$codename")" || true
      if [ -n "${mirror:-}" ]; then
        echo "Adding Debian's $codename-backports from $mirror to the package sources ($source_file)"
        { printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\n' "$mirror" "$codename"
          [ -z "${keyring:-}" ] || printf 'Signed-By: %s\n' "$keyring"; } | $SUDO tee "$source_file" >/dev/null
        added=1 from_backports=1
      else
        echo "note: the package sources name no Debian mirror for $codename: no backports source is added"
      fi
    fi
    if [ $from_backports = 1 ]; then
      echo "Installing: qemu-user from $codename-backports"
      if ! { apt_get update -qq && apt_install -t "$codename-backports" qemu-user; }; then
        from_backports=0
        if [ $added = 1 ]; then
          echo "note: $codename-backports cannot be used here: its source is removed again"
          $SUDO rm -f "$source_file"
          apt_get update -qq || true
        fi
      fi
    fi
    if [ $from_backports = 0 ]; then
      echo "note: Debian 12's qemu-user-static 7.2 runs the emulated harness (uninstall it to try backports again)"
      apt_install qemu-user-static
    fi
  fi
fi

# The browser tests' npm packages (playwright-core drives Debian's Chromium).
if [ $needs_node = 1 ]; then
  browser_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
  if [ ! -d "$browser_tests/node_modules/playwright-core" ]; then
    (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi
