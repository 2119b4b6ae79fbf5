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

exec tools/with-standin.sh build/bin/torvaneapp "$@"
