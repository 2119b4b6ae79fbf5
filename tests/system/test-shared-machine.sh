#!/usr/bin/env bash
# One machine, two accounts, one installation (the package as shipped) and
# one INI; each account in an X session of its own (its own Xvfb, its own
# runtime folder) with the browser sandbox on, against the stand-in:
#  (a) both accounts' clients run;
#  (b) the second account's second start changes nothing in the first's
#      client (no command, its hidden window stays hidden);
#  (c) a command of the second account on the first account's port reaches
#      nothing; the first account's own command does;
#  (d) with the port taken, the second account's client runs and says so;
#      given a port of its own, it takes commands from its own programs
#      only, and its second start reaches it there.
# Everything the test made (the package, the accounts) is removed again.
# Needs root; run from the source tree after the main build.
first=torvaneshare1 second=torvaneshare2
ACCOUNTS=("$first" "$second")
source "$(dirname "$0")/package-session.sh"

echo "== the package, installed by apt"
deb=$(tools/make-package.sh 2>"$scratch/build.log" | tail -1) || { tail -20 "$scratch/build.log"; exit 1; }
install_package "$deb"
port=$(sed -n 's/^port=//p' /etc/torvaneapp/TorvaneAPP.ini)

declare -A display runtime home
for account in $first $second; do
  add_account "$account"
  home[$account]=$account_home
  # The account's own runtime folder and X display, as a login gives them.
  runtime[$account]=$scratch/run-$account
  install -d -m 700 -o "$account" "${runtime[$account]}"
  ready=$scratch/display-$account
  mkfifo "$ready"
  runuser -u "$account" -- Xvfb -displayfd 3 -screen 0 1920x1040x24 -nolisten tcp -noreset 3>"$ready" >/dev/null 2>&1 &
  pids+=($!)
  read -r -t 30 number <"$ready" || { echo "FAIL: no Xvfb for $account"; exit 1; }
  display[$account]=:$number
done
start_standin

# ACCOUNT COMMAND...: runs as the account, in its session.
as() {
  local account=$1
  shift
  runuser -u "$account" -- env -i HOME="${home[$account]}" USER="$account" PATH=/usr/bin:/bin \
    DISPLAY="${display[$account]}" XDG_RUNTIME_DIR="${runtime[$account]}" "$@"
}
start_client() { # ACCOUNT LOG
  as "$1" /usr/bin/torvaneapp >"$2" 2>&1 &
  pids+=($!)
}
shown() { DISPLAY=${display[$1]} titled '^Torvane Fone'; }
viewable_for() { DISPLAY=${display[$1]} viewable '^Torvane Fone'; }
recorded() { curl -s https://localhost:8443/recorded | grep -q "\"comando\":\"$1\""; }
# ACCOUNT PORT MARK [ACTION]: a command the account's program sends; its
# HTTP status (000 when the connection is closed unanswered).
command_as() { as "$1" curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$2/?comando=$3${4:+&action=$4}"; }
sandboxed() {
  local p
  for p in $(pgrep -u "$1"); do
    grep -q '^Seccomp:[[:space:]]*2' "/proc/$p/status" 2>/dev/null && return 0
  done
  return 1
}

echo "== (a) both accounts' clients run"
start_client $first "$scratch/first.log"
wait_for "shown $first" 60 || fail "the first account's page was not shown: $(tail -3 "$scratch/first.log")"
start_client $second "$scratch/second.log"
wait_for "shown $second" 60 || fail "the second account's page was not shown: $(tail -3 "$scratch/second.log")"
[ "$(pgrep -u $first -x torvaneapp | wc -l)" = 1 ] || fail "the first account does not run exactly one client"
[ "$(pgrep -u $second -x torvaneapp | wc -l)" = 1 ] || fail "the second account does not run exactly one client"
for account in $first $second; do sandboxed "$account" || fail "no sandboxed process of $account"; done
json=${runtime[$first]}/TorvaneAPP/listener.json
grep -q "\"url\":\"http://127.0.0.1:$port/\"" "$json" 2>/dev/null || fail "the first account's listener file: $(cat "$json" 2>&1)"
[ "$(stat -c %a "$json" 2>/dev/null)" = 600 ] || fail "the first account's listener file may be read by others"

echo "== (c) commands on the first account's port"
[ "$(command_as $first "$port" first-own)" = 200 ] || fail "the first account's own command was not answered"
wait_for 'recorded first-own' 10 || fail "the first account's own command did not reach its page"
[ "$(command_as $second "$port" second-on-first)" = 000 ] || fail "the second account's command was answered"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/?comando=root-on-first")" = 000 ] \
  || fail "root's command on the first account's port was answered"
sleep 1
recorded second-on-first && fail "the second account's command reached the first account's page"
recorded root-on-first && fail "root's command reached the first account's page"
grep -q "refused a program of the account $second" "$scratch/first.log" \
  || fail "the first account's client did not say whom it refused"

echo "== (d) the port taken: the second account's client says so"
grep -q "cannot listen on port $port" "$scratch/second.log" || fail "the second account's client did not say its port is taken"
grep -q '"error"' "${runtime[$second]}/TorvaneAPP/listener.json" 2>/dev/null \
  || fail "the second account's listener file does not say its listener failed"

echo "== (b) the second account's second start changes nothing of the first's"
command_as $first "$port" first-hide close >/dev/null
wait_for "! viewable_for $first" 10 || fail "the first account's window did not hide"
as $second timeout 90 /usr/bin/torvaneapp >"$scratch/second-again.log" 2>&1
[ $? = 1 ] || fail "the second account's second start did not end with 1"
sleep 2
viewable_for $first && fail "the second account's second start showed the first account's window"
recorded 'first-hide' || fail "the first account's close command was not recorded"
[ "$(curl -s https://localhost:8443/recorded | grep -o '"comando"' | wc -l)" = 2 ] \
  || fail "the first account's page received more than its own two commands"

echo "== (d) a port of the second account's own"
pkill -u $second -x torvaneapp
wait_for "! pgrep -u $second -x torvaneapp >/dev/null" 30 || fail "the second account's client did not end"
own=$((port + 1))
as $second mkdir -p "${home[$second]}/.config/TorvaneAPP"
printf '[listener]\nport=%s\n' "$own" | as $second tee "${home[$second]}/.config/TorvaneAPP/TorvaneAPP.ini" >/dev/null
start_client $second "$scratch/second-own.log"
wait_for "shown $second" 60 || fail "the second account's page was not shown with its own port"
grep -q "\"url\":\"http://127.0.0.1:$own/\"" "${runtime[$second]}/TorvaneAPP/listener.json" 2>/dev/null \
  || fail "the second account's listener file does not name its own port"
[ "$(command_as $second "$own" second-own)" = 200 ] || fail "the second account's command on its own port was not answered"
wait_for 'recorded second-own' 10 || fail "the second account's own command did not reach its page"
[ "$(command_as $first "$own" first-on-second)" = 000 ] || fail "the first account's command on the second's port was answered"
sleep 1
recorded first-on-second && fail "the first account's command reached the second account's page"
command_as $second "$own" second-hide close >/dev/null
wait_for "! viewable_for $second" 10 || fail "the second account's window did not hide"
as $second timeout 90 /usr/bin/torvaneapp >"$scratch/second-own-again.log" 2>&1
[ $? = 1 ] || fail "the second account's second start (own port) did not end with 1"
grep -q "Activation request http://127.0.0.1:$own/: answered" "$scratch/second-own-again.log" \
  || fail "the second start did not reach its own account's listener: $(grep Activation "$scratch/second-own-again.log")"
wait_for "viewable_for $second" 10 || fail "the second start did not bring its own account's window back"
viewable_for $first && fail "the second account's second start showed the first account's window"

for account in $first $second; do pkill -TERM -u "$account" -x torvaneapp; done
wait_for "! pgrep -x torvaneapp >/dev/null" 30 || fail "the clients did not end"
[ -e "${runtime[$first]}/TorvaneAPP/listener.json" ] && fail "the first account's listener file is left"

if [ $failures = 0 ]; then echo "1 passed, 0 failed"; else
  for log in "$scratch"/*.log; do echo "--- $log"; grep -v -i 'debug\|^$' "$log" | tail -8; done
  echo "0 passed, 1 failed"; exit 1
fi
