#!/usr/bin/env bash
# Builds the small Windows Qt that the server library's Windows build and
# its suites need: Debian's own qtbase source package, cross-built with
# MinGW-w64 (x86_64, POSIX threads) for win32-g++, Core, Network, Test and
# Concurrent only, without TLS. Its host tools (moc, rcc and the others) are
# Debian's own of the same version (qtbase5-dev-tools), so only qmake and the
# four libraries are compiled. The source comes through a private apt source
# list and state (the machine's own package lists stay as they are); the
# result is kept outside the tree, keyed by the source version, so a machine
# builds it once: ${XDG_CACHE_HOME:-~/.cache}/torvane/qt-VERSION-mingw64. One
# build at a time: a second caller waits for the first and then finds it
# done. Prints that folder as its last line. Usage: tools/build-windows-qt.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/torvane
package=qtbase-opensource-src
say() { echo "build-windows-qt.sh: $*" >&2; }
fail() { say "$*"; exit 1; }
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

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
host_tools=/usr/lib/qt5/bin
[ "$("$host_tools/moc" -v 2>/dev/null)" = "moc $upstream" ] \
  || fail "Debian's Qt host tools of version $upstream are missing ($host_tools/moc; tools/install-deps.sh installs them)"
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
# configure compiles qmake itself; MAKEFLAGS lets it use every processor.
(cd "$work/build" && MAKEFLAGS=-j"$jobs" "$source_dir/configure" -xplatform win32-g++ \
  -device-option CROSS_COMPILE=x86_64-w64-mingw32- -external-hostbindir "$host_tools" \
  -prefix "$prefix" -release -opensource -confirm-license -shared \
  -no-gui -no-widgets -no-dbus -no-icu -no-openssl -no-opengl -no-feature-sql -no-feature-xml \
  -no-feature-bearermanagement -nomake examples -nomake tests -nomake tools \
  >"$work/configure.log" 2>&1) || { tail -30 "$work/configure.log" >&2; fail "configure failed (above)"; }
# Only the libraries the suites link, with what they are made of; the host
# tools' own targets count as made (-o), since Debian's stand in for them.
modules=(zlib 3rdparty-pcre2 corelib winmain network testlib concurrent)
skip=()
for tool in bootstrap moc rcc tracegen qlalr; do skip+=(-o "sub-$tool-make_first" -o "sub-$tool-install_subtargets"); done
say "building (3 to 5 minutes on two cores; a log: $work/build.log)"
(cd "$work/build" && make sub-src-qmake_all >"$work/build.log" 2>&1 \
  && make -C src -j"$jobs" "${skip[@]}" $(printf 'sub-%s-make_first ' "${modules[@]}") >>"$work/build.log" 2>&1 \
  && make install_mkspecs install_syncqt sub-qmake-qmake-aux-pro-install_subtargets >>"$work/build.log" 2>&1 \
  && make -C src "${skip[@]}" $(printf 'sub-%s-install_subtargets ' "${modules[@]}") >>"$work/build.log" 2>&1) \
  || { tail -30 "$work/build.log" >&2; fail "the build failed (above)"; }
# Where Qt's CMake files look for them.
for tool in moc rcc qlalr tracegen; do ln -sf "$host_tools/$tool" "$prefix/bin/$tool"; done
touch "$prefix/.complete"
say "the Windows Qt $version is in $prefix ($(( $(date +%s) - started )) s)"
rm -rf "$work"
echo "$prefix"
