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
    test) pkgs+=(qtwebengine5-dev libqt5webchannel5-dev libjs-jquery xvfb xauth mkcert libnss3-tools clang libclang-rt-14-dev x11-utils imagemagick xdotool xdg-utils chromium) ;;
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

needs_wine=0
for g in "${groups[@]}"; do [ "$g" = native ] && needs_wine=1; done
if [ $needs_wine = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing+=(wine wine32:i386)
  else
    for p in wine wine32:i386; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
  fi
fi

SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
apt_install() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  apt_install "${missing[@]}"
fi

# The 32-bit harness runs under qemu-user where the kernel refuses i386
# programs (and always in a case of its own). Debian 12's qemu 7.2 ends Wine
# processes now and then and loses data of pipe transfers between threads;
# qemu 10 from bookworm-backports does neither, and is taken when reachable.
qemu_version() { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p' || true; }
if [ $needs_wine = 1 ]; then
  current=$(qemu_version qemu-user)
  if [ -z "$current" ] || dpkg --compare-versions "$current" lt 1:8; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if ! grep -rqs "$codename-backports" /etc/apt/sources.list /etc/apt/sources.list.d; then
      echo "Adding Debian's $codename-backports to the package sources (/etc/apt/sources.list.d/$codename-backports.sources)"
      printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$codename" | $SUDO tee "/etc/apt/sources.list.d/$codename-backports.sources" >/dev/null
    fi
    echo "Installing: qemu-user from $codename-backports"
    if ! { $SUDO apt-get update -qq && apt_install -t "$codename-backports" qemu-user; }; then
      echo "note: $codename-backports is not reachable; Debian 12's qemu-user-static 7.2 runs the emulated harness"
      [ -n "$(qemu_version qemu-user-static)" ] || apt_install qemu-user-static
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
