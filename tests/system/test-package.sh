#!/usr/bin/env bash
# The installable client as a user meets it. The package is built twice, in
# different folders at different times, and must be the same bytes (so must
# two builds of the 32-bit JNI library). lintian, desktop-file-validate and
# appstreamcli find nothing to complain about (each first refuses a planted
# fault). apt installs it; an ordinary account starts the installed client
# under Xvfb with the browser sandbox on, against the stand-in, first with
# the configuration as shipped, then with TLS turned on: the page loads, a
# command reaches the page, the page's close element hides the window, a
# second start brings it back and ends with 1. apt-get purge then leaves no
# file of the package. Everything the test made is removed again. Needs root
# (it installs a package and makes an account); run from the source tree
# after the main build.
account=torvanepkgtest
ACCOUNTS=("$account")
source "$(dirname "$0")/package-session.sh"

echo "== the package, built twice"
# The first in the folder make-package.sh uses by default (kept for the
# shared-machine test), the second in a new one.
tools/make-package.sh >"$scratch/build-first.log" 2>&1 || { tail -20 "$scratch/build-first.log"; exit 1; }
sleep 2
tools/make-package.sh "$scratch/other/folder" >"$scratch/build-second.log" 2>&1 || { tail -20 "$scratch/build-second.log"; exit 1; }
deb=$(ls "$root"/build-package/${package}_*_amd64.deb)
cmp "$deb" "$scratch/other/folder/$(basename "$deb")" || fail "two builds of the package differ"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

echo "== the 32-bit JNI library, built twice"
for dir in "$scratch/dll-first" "$scratch/other/dll"; do
  cmake -S native -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/native/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DOSTRA_BUILD_TESTS=OFF >/dev/null && cmake --build "$dir" -j"$(nproc)" >/dev/null || fail "the DLL does not build"
  sleep 2
done
cmp "$scratch/dll-first/ostranative.dll" "$scratch/other/dll/ostranative.dll" || fail "two builds of the DLL differ"

# Each check must be able to fail: it is first run on a copy with a planted
# fault and must refuse that, then on the real thing.
echo "== lintian, desktop entries, AppStream metadata"
tree=$scratch/tree
dpkg-deb -R "$deb" "$tree"
lint() { lintian --pedantic --fail-on error,warning "$1"; }
rm "$tree/usr/share/doc/$package/copyright"
dpkg-deb -b "$tree" "$scratch/planted.deb" >/dev/null
lint "$scratch/planted.deb" >"$scratch/lintian-planted" 2>&1 && fail "lintian passes a package without its copyright file"
rm -rf "$tree"
lint "$deb" >"$scratch/lintian" 2>&1 || { cat "$scratch/lintian"; fail "lintian reports errors or warnings"; }
grep -v '^[IPX]:\|^N:' "$scratch/lintian" || true
dpkg-deb -x "$deb" "$tree"
entry=$tree/usr/share/applications/com.torvane.TorvaneApp.desktop
metainfo=$tree/usr/share/metainfo/com.torvane.TorvaneApp.metainfo.xml
sed 's/^Type=Application/Type=Program/' "$entry" >"$scratch/planted.desktop"
desktop-file-validate "$scratch/planted.desktop" >/dev/null 2>&1 && fail "desktop-file-validate passes a wrong Type"
desktop-file-validate "$entry" || fail "the desktop entry does not validate"
appstream() { appstreamcli validate --no-net --pedantic --strict "$1"; }
sed 's|<summary>.*</summary>||' "$metainfo" >"$scratch/planted.metainfo.xml"
appstream "$scratch/planted.metainfo.xml" >/dev/null 2>&1 && fail "appstreamcli passes metadata without a summary"
appstream "$metainfo" || fail "the AppStream metadata does not validate"
dpkg-deb -f "$deb" Depends | grep -q 'qtbase-abi-' || fail "the package does not pin the Qt build's private ABI"

echo "== installed by apt, used by an ordinary account"
install_package "$deb"
dpkg -L "$package" >"$scratch/files"
add_account "$account"
home=$account_home
start_standin

# The account's own session, on a display of its own. SCHEME is what the
# client's listener serves: http with the configuration as shipped.
cat >"$scratch/session.sh" <<'EOF'
#!/usr/bin/env bash
set -uo pipefail
source "$(dirname "$0")/window-state.sh"
scheme=$1
failures=0
fail() { echo "FAIL ($scheme): $*"; failures=$((failures + 1)); }
# The render processes run under the seccomp sandbox (the browser
# process and the zygotes do not), and no process of the engine was told to
# go without one (the client's own command line keeps what it ignored).
check_sandboxed() {
  local sandboxed=0 p
  for p in $(pgrep -u "$(id -u)"); do
    grep -q '^Seccomp:[[:space:]]*2' "/proc/$p/status" 2>/dev/null && sandboxed=$((sandboxed + 1))
  done
  [ $sandboxed -gt 0 ] || fail "no sandboxed process with: $*"
  pgrep -u "$(id -u)" -f -- 'QtWebEngineProcess.*--(no-sandbox|single-process|disable-seccomp-filter-sandbox)' \
    >/dev/null && fail "a process of the engine runs without its sandbox with: $*"
}
cd "$HOME"
log=$(mktemp)
/usr/bin/torvaneapp >"$log" 2>&1 &
client=$!
wait_for "titled '^Torvane Fone'" 60 || fail "the page was not shown: $(tail -5 "$log")"
check_sandboxed /usr/bin/torvaneapp
curl -s "$scheme://localhost:8085/?comando=installed" >/dev/null
wait_for 'curl -s https://localhost:8443/recorded | grep -q "\"comando\":\"installed\""' 10 \
  || fail "the command did not reach the page"
# The page's close element, clicked as a user clicks it, at the top right.
sleep 1
window=$(xdotool search --name '^Torvane Fone' | head -1)
xdotool mousemove --window "$window" 243 28 click 1
if ! wait_for '! viewable "^Torvane Fone"' 10; then
  fail "the page's close element left the window shown"
  curl -s "$scheme://localhost:8085/?action=close" >/dev/null
  wait_for '! viewable "^Torvane Fone"' 10 || fail "close left the window shown"
fi
timeout 90 /usr/bin/torvaneapp >/dev/null 2>&1
status=$?
[ $status = 1 ] || fail "a second start ended with $status"
wait_for 'viewable "^Torvane Fone"' 10 || fail "the second start did not bring the first to the front"
[ -d "$HOME/.local/share/TorvaneAPP/QtWebEngine" ] || fail "no browser profile in the account's data folder"
zolapp=$HOME/.local/share/applications/torvaneapp-zolapp.desktop
[ -f "$zolapp" ] || fail "the zolapp scheme is not registered for the account"
desktop-file-validate "$zolapp" || fail "the account's zolapp entry does not validate"
grep -q 'broken HTTP request' "$log" && fail "the client's listener was sent what it does not serve"
kill -TERM $client; wait $client

# Nothing a user passes turns the sandbox off.
[ "${2:-}" = matrix ] || exit $failures
sandboxed_start() {
  "$@" >"$log" 2>&1 &
  local pid=$!
  if wait_for "titled '^Torvane Fone'" 60; then
    check_sandboxed "$@"
  else
    fail "the page was not shown with: $*: $(tail -3 "$log")"
  fi
  kill -TERM $pid; wait $pid
  wait_for '! titled "^Torvane Fone"' 20 || fail "the client did not end"
}
sandboxed_start env QTWEBENGINE_CHROMIUM_FLAGS='"--no-sandbox"' /usr/bin/torvaneapp
sandboxed_start env QTWEBENGINE_CHROMIUM_FLAGS='--no-sandbox=1' /usr/bin/torvaneapp
sandboxed_start env QTWEBENGINE_CHROMIUM_FLAGS='--single-process' /usr/bin/torvaneapp
sandboxed_start env QTWEBENGINE_CHROMIUM_FLAGS='--disable-seccomp-filter-sandbox' /usr/bin/torvaneapp
sandboxed_start env QTWEBENGINE_DISABLE_SANDBOX=1 /usr/bin/torvaneapp
sandboxed_start /usr/bin/torvaneapp --no-sandbox
sandboxed_start /usr/bin/torvaneapp -no-sandbox --single-process
exit $failures
EOF
chmod 755 "$scratch/session.sh"
install -m 644 tests/system/window-state.sh "$scratch/window-state.sh"
# -noreset: an X server resets when its last client leaves, and a client
# that connects meanwhile (the next start after a polling xdotool) is refused.
session() {
  runuser -u "$account" -- env -i HOME="$home" USER="$account" PATH=/usr/bin:/bin \
    xvfb-run -a -s "-screen 0 1920x1040x24 -nolisten tcp -noreset" "$scratch/session.sh" "$@"
}

echo "== the configuration as shipped (plain HTTP on the loopback address)"
session http matrix || fail "the account's session with the shipped configuration failed"

# The listener's key and certificate in the account's configuration folder,
# where the installed client looks for relative names; the administrator
# turns TLS on in the conffile.
echo "== TLS turned on in the conffile"
install -o "$account" -m 600 build/ssl/localhost-key.pem "$home/.config/TorvaneAPP/localhost-key.pem"
install -o "$account" -m 644 build/ssl/localhost.pem "$home/.config/TorvaneAPP/localhost.pem"
sed -i -e 's|^;sslKeyFile=.*|sslKeyFile=localhost-key.pem|' -e 's|^;sslCertFile=.*|sslCertFile=localhost.pem|' \
  /etc/torvaneapp/TorvaneAPP.ini
session https || fail "the account's session with TLS failed"

echo "== purged"
apt-get purge -y -qq "$package" >/dev/null 2>&1 || fail "apt-get purge failed"
left=()
while read -r path; do
  case "$path" in /usr/*|/etc/*) ;; *) continue ;; esac
  [ -f "$path" ] || [ -L "$path" ] && left+=("$path")
done <"$scratch/files"
[ ${#left[@]} = 0 ] || fail "files of the package are left: ${left[*]}"
[ -e /etc/torvaneapp ] && fail "/etc/torvaneapp is left"

if [ $failures = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
