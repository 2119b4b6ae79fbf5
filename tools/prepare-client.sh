#!/usr/bin/env bash
# Makes the local certificates (once) and writes the deployment's
# configuration beside the built client, where it looks first: the shipped
# one with TLS on for the client's own listener.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/make-certs.sh build/ssl
root=$PWD
sed -e "s|^;sslKeyFile=.*|sslKeyFile=$root/build/ssl/localhost-key.pem|" \
    -e "s|^;sslCertFile=.*|sslCertFile=$root/build/ssl/localhost.pem|" \
    -e "s|^path=templates|path=$root/etc/templates|" \
    -e "s|^path=docroot|path=$root/etc/docroot|" \
    etc/TorvaneAPP.ini > build/bin/TorvaneAPP.ini
