#!/usr/bin/env bash
# Builds the small Windows Qt that the server library's Windows build and
# its suites need: Debian's own qtbase source package, cross-built with
# MinGW-w64 (x86_64, POSIX threads) for win32-g++, Core, Network, Test and
# Concurrent only, without TLS. The source comes through a private apt
# source list and state (the machine's own package lists stay as they are);
# the result is kept outside the tree, keyed by the source version, so a
# machine builds it once: ${XDG_CACHE_HOME:-~/.cache}/torvane/qt-VERSION-mingw64.
# Prints that folder as its last line. Usage: tools/build-windows-qt.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/torvane
package=qtbase-opensource-src
say() { echo "build-windows-qt.sh: $*" >&2; }
fail() { say "$*"; exit 1; }

# Debian's mirror for this release, from the machine's own sources.
# shellcheck source=install-deps.sh
source "$root/tools/install-deps.sh"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
read -r mirror keyring <<<"$(debian_mirror "$codename")" || true
[ -n "${mirror:-}" ] || fail "the package sources name no Debian mirror for $codename"

# A private apt that knows the source package's index only.
apt_dir=$cache/apt
mkdir -p "$apt_dir"/{lists/partial,archives/partial,sources,parts,prefs}
{ printf 'Types: deb-src\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' "$mirror" "$codename" "$codename"
  [ -z "${keyring:-}" ] || printf 'Signed-By: %s\n' "$keyring"; } >"$apt_dir/sources/debian-src.sources"
cat >"$apt_dir/apt.conf" <<EOF
Dir::State "$apt_dir"; Dir::State::Lists "$apt_dir/lists"; Dir::State::status "/var/lib/dpkg/status";
Dir::Cache "$apt_dir"; Dir::Cache::archives "$apt_dir/archives";
Dir::Etc::SourceList "$apt_dir/sources/none.list"; Dir::Etc::SourceParts "$apt_dir/sources";
Dir::Etc::Parts "$apt_dir/parts"; Dir::Etc::PreferencesParts "$apt_dir/prefs";
Debug::NoLocking "true"; APT::Sandbox::User "$(id -un)"; Acquire::Languages "none";
Acquire::IndexTargets::deb-src::Sources::DefaultEnabled "true";
EOF
export APT_CONFIG=$apt_dir/apt.conf
apt-get -o Acquire::Retries=3 update -qq >"$apt_dir/update.log" 2>&1 \
  || { cat "$apt_dir/update.log" >&2; fail "the mirror's source index could not be read (above); try again later"; }
version=$(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
[ -n "$version" ] || fail "the mirror lists no $package"
upstream=${version#*:}
upstream=${upstream%%+*}
upstream=${upstream%%-*}
prefix=$cache/qt-$version-mingw64
if [ -f "$prefix/.complete" ]; then
  say "the Windows Qt $version is already built in $prefix"
  echo "$prefix"
  exit 0
fi

work=$cache/qt-build
rm -rf "$work"
mkdir -p "$work"
say "fetching the source package $package $version"
(cd "$work" && apt-get source -qq "$package=$version" >"$work/source.log" 2>&1) \
  || { tail -20 "$work/source.log" >&2; fail "apt-get source failed (above)"; }
source_dir=$(find "$work" -maxdepth 1 -type d -name 'qtbase*' | head -1)
[ -n "$source_dir" ] || fail "the source package did not unpack"

# The POSIX-thread variants of Debian's MinGW-w64 compilers, first in PATH.
tools=$work/bin
mkdir -p "$tools"
for tool in gcc g++ c++ cpp; do
  ln -sf "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$tools/x86_64-w64-mingw32-$tool"
done
export PATH=$tools:$PATH
jobs=$(nproc)
say "configuring Qt $upstream for win32-g++ (a log: $work/configure.log)"
started=$(date +%s)
mkdir -p "$work/build"
(cd "$work/build" && "$source_dir/configure" -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
  -prefix "$prefix" -release -opensource -confirm-license -shared \
  -no-gui -no-widgets -no-dbus -no-icu -no-openssl -no-opengl -no-sql-sqlite -nomake examples -nomake tests \
  >"$work/configure.log" 2>&1) || { tail -30 "$work/configure.log" >&2; fail "configure failed (above)"; }
say "building (7 to 13 minutes on two cores; a log: $work/build.log)"
(cd "$work/build" && make -j"$jobs" >"$work/build.log" 2>&1 && make install >>"$work/build.log" 2>&1) \
  || { tail -30 "$work/build.log" >&2; fail "the build failed (above)"; }
touch "$prefix/.complete"
say "the Windows Qt $version is in $prefix ($(( $(date +%s) - started )) s)"
rm -rf "$work"
echo "$prefix"
