# Sourced by the scripts that install the client's package and use it as
# ordinary accounts (test-package.sh, test-shared-machine.sh), with ACCOUNTS
# set to the accounts they make: runs as root from the source tree, after
# the main build. On exit the accounts' programs, the stand-in, the package
# and the accounts are removed again, as is what an interrupted run left.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: installs a package and creates accounts, so it runs as root"
  exit 77
fi
source tests/system/window-state.sh
package=torvaneapp
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
scratch=$(mktemp -d)
chmod 755 "$scratch"
pids=()
remove_accounts() {
  local account
  for account in "${ACCOUNTS[@]}"; do
    pkill -u "$account" 2>/dev/null
    id "$account" >/dev/null 2>&1 && userdel -r "$account" >/dev/null 2>&1
  done
}
end_package_session() {
  local pid account
  for account in "${ACCOUNTS[@]}"; do pkill -u "$account" 2>/dev/null; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  dpkg-query -W "$package" >/dev/null 2>&1 && apt-get purge -y -qq "$package" >/dev/null 2>&1
  remove_accounts
  rm -rf "$scratch"
}
trap end_package_session EXIT
remove_accounts

# install_package DEB: apt installs it, in place of any installed copy.
install_package() {
  dpkg-query -W "$package" >/dev/null 2>&1 && apt-get purge -y -qq "$package" >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$1" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; exit 1; }
}

# add_account NAME: a new account that trusts the local certificate
# authority (for the stand-in's page) in its own NSS database; sets
# account_home.
add_account() {
  useradd -m -s /bin/bash "$1" || exit 1
  account_home=$(getent passwd "$1" | cut -d: -f6)
  [ -f "$scratch/rootCA.pem" ] || { tools/prepare-client.sh >/dev/null; install -m 644 "$(mkcert -CAROOT)/rootCA.pem" "$scratch/rootCA.pem"; }
  runuser -u "$1" -- mkdir -p "$account_home/.pki/nssdb" "$account_home/.config/TorvaneAPP"
  runuser -u "$1" -- certutil -d "sql:$account_home/.pki/nssdb" -N --empty-password
  runuser -u "$1" -- certutil -d "sql:$account_home/.pki/nssdb" -A -n local-ca -t C,, -i "$scratch/rootCA.pem"
}

# The stand-in hosted application on https://localhost:8443.
start_standin() {
  wait_for '! port_answers' 10 || fail "port 8443 stays taken"
  build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 >/dev/null 2>&1 &
  pids+=($!)
  wait_for port_answers 10 || fail "the stand-in did not start"
}
