#!/usr/bin/env bash
# Creates, once, a local certificate authority trusted by this machine (the
# system store for Qt's network code, the user's NSS database for the
# browser engine) and a certificate for localhost signed by it.
# Usage: make-certs.sh DIR   (writes DIR/localhost.pem and DIR/localhost-key.pem)
set -euo pipefail
dir=$1
mkdir -p "$dir"
if [ -f "$dir/localhost.pem" ] && [ -f "$dir/localhost-key.pem" ]; then
  exit 0
fi
nssdb="$HOME/.pki/nssdb"
if [ ! -d "$nssdb" ]; then
  mkdir -p "$nssdb"
  certutil -d "sql:$nssdb" -N --empty-password
fi
mkcert -install >/dev/null 2>&1
mkcert -cert-file "$dir/localhost.pem" -key-file "$dir/localhost-key.pem" localhost 127.0.0.1 ::1 >/dev/null 2>&1
echo "certificates for localhost in $dir (local CA: $(mkcert -CAROOT))"
