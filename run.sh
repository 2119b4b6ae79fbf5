#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop client against the
# bundled stand-in hosted application (HTTPS on loopback, certificates from a
# local certificate authority made once). Without a display it starts Xvfb.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh client
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_BUILD_CLIENT=ON >/dev/null
cmake --build build -j"$(nproc)" --target torvaneapp torvane-standin
tools/make-certs.sh build/ssl

# The deployment's configuration, beside the executable (where the client
# looks first): the shipped one with TLS on for the client's own listener.
root=$PWD
sed -e "s|^;sslKeyFile=.*|sslKeyFile=$root/build/ssl/localhost-key.pem|" \
    -e "s|^;sslCertFile=.*|sslCertFile=$root/build/ssl/localhost.pem|" \
    -e "s|^path=templates|path=$root/etc/templates|" \
    -e "s|^path=docroot|path=$root/etc/docroot|" \
    etc/TorvaneAPP.ini > build/bin/TorvaneAPP.ini

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  display=99
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1920x1040x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  echo "no display: started Xvfb on DISPLAY=$DISPLAY (screenshots: import -display $DISPLAY -window root shot.png)"
fi

build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 &
pids+=($!)

# The browser engine's sandbox cannot run as root.
[ "$(id -u)" = 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
build/bin/torvaneapp "$@"
