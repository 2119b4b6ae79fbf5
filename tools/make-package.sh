#!/usr/bin/env bash
# Builds the Debian package of the desktop client and leaves it in the build
# folder: BUILD/torvaneapp_<version>_amd64.deb.
# Usage: tools/make-package.sh [--web-host HOST[:PORT]] [--activation-host HOST[:PORT]] [BUILD]
# The hosts default to the stand-in's (localhost:8443) and the client's own
# server (localhost:8085); BUILD defaults to build-package.
# Two builds of one commit, in any folders and at any time, give the same
# bytes: times come from the commit (SOURCE_DATE_EPOCH), build paths are
# mapped away, and the binaries are stripped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
web_host=localhost:8443
activation_host=localhost:8085
build=$root/build-package
while [ $# -gt 0 ]; do
  case "$1" in
    --web-host) web_host=$2; shift 2 ;;
    --activation-host) activation_host=$2; shift 2 ;;
    -*) echo "usage: make-package.sh [--web-host HOST] [--activation-host HOST] [BUILD]" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
mkdir -p "$build"
build=$(cd "$build" && pwd)

"$root/tools/install-deps.sh" client package >&2

SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || stat -c %Y "$root/CMakeLists.txt")
export SOURCE_DATE_EPOCH
export QT_RCC_SOURCE_DATE_OVERRIDE=$SOURCE_DATE_EPOCH
# Debian's hardening flags (fortified functions, full RELRO, bind now). moc
# output names headers by their include paths, not by a path relative to the
# build folder, which would differ between folders.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
flags="$flags -ffile-prefix-map=$root=. -ffile-prefix-map=$build=."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTORVANE_BUILD_CLIENT=ON -DTORVANE_BUILD_TESTS=OFF -DTORVANE_BUILD_NATIVE=OFF -DCMAKE_AUTOMOC_PATH_PREFIX=ON \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DTORVANE_WEB_HOST="$web_host" -DTORVANE_ACTIVATION_HOST="$activation_host" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >&2
cmake --build "$build" -j"$(nproc)" --target torvaneapp tasklist package-files >&2
rm -f "$build"/torvaneapp_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/torvaneapp_*.deb
