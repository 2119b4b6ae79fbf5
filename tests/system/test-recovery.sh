#!/usr/bin/env bash
# The client brings the hosted page back by itself, in the real client under
# Xvfb with the stand-in hosted application, one client start per case:
# started while the stand-in is down; the stand-in gone during a reload; the
# page's render process killed; and the window left put away throughout.
set -uo pipefail
cd "$(dirname "$0")/../.."
if [ -z "${TORVANE_RECOVERY_DISPLAY:-}" ]; then
  tools/prepare-client.sh >/dev/null || exit 1
  TORVANE_RECOVERY_DISPLAY=1 exec tools/with-standin.sh --xvfb --no-standin "$0" "$@"
fi

source tests/system/window-state.sh
failures=0
fail() { echo "FAIL ($case): $*"; grep -E "PageRecovery|Progresso|ERROR" "$log" | tail -15; failures=$((failures + 1)); }
log=$(mktemp)
standin=""
client=""

standin_start() {
  wait_for '! port_answers' 10 || { echo "port 8443 stays taken"; return 1; }
  build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 >/dev/null 2>&1 &
  standin=$!
  wait_for port_answers 10
}
standin_stop() { [ -n "$standin" ] && kill "$standin" 2>/dev/null && wait "$standin" 2>/dev/null; standin=""; }
client_start() {
  build/bin/torvaneapp >"$log" 2>&1 &
  client=$!
}
client_stop() { [ -n "$client" ] && kill -TERM "$client" 2>/dev/null && wait "$client" 2>/dev/null; client=""; }
trap 'client_stop; standin_stop' EXIT

page_shown() { titled '^Torvane Fone'; }
notice_shown() { titled 'sem conexão'; }
back() { grep -q 'PageRecovery: the page is back' "$log" && page_shown; }
# The pause the client announced last, and a little more for the load.
within_pause() { echo $(( $(grep -o 'again in [0-9]* s' "$log" | tail -1 | tr -dc 0-9) + 3 )); }
# Render processes are forked by the zygote that is not the no-sandbox one
# (the other forks the GPU and utility processes); their command lines are
# the zygote's.
kill_renderer() {
  local zygote line
  for zygote in $(pgrep -P "$client"); do
    line=$(tr '\0' ' ' <"/proc/$zygote/cmdline" 2>/dev/null)
    case "$line" in
      *--type=zygote*--no-zygote-sandbox*) ;;
      *--type=zygote*) pkill -KILL -P "$zygote" ;;
    esac
  done
}

case="started while the host is down"
client_start
wait_for notice_shown 60 || fail "no notice while the host is down"
grep -q 'PageRecovery: the page could not be loaded, trying' "$log" || fail "the retry was not logged"
standin_start
wait_for back "$(within_pause)" || fail "the page did not come back within the pause"
client_stop

case="host gone during a reload"
client_start
wait_for page_shown 60 || fail "the page was not shown"
standin_stop
curl -s "https://localhost:8085/?comando=reload" >/dev/null
wait_for notice_shown 30 || fail "no notice after the failed reload"
standin_start
wait_for back "$(within_pause)" || fail "the page did not come back within the pause"
client_stop

case="render process killed"
client_start
wait_for page_shown 60 || fail "the page was not shown"
kill_renderer
wait_for "grep -q \"PageRecovery: the page's render process ended\" \"$log\"" 10 || fail "the ended render process went unnoticed"
wait_for back 10 || fail "the page did not come back"
client_stop

case="window put away"
client_start
wait_for page_shown 60 || fail "the page was not shown"
curl -s "https://localhost:8085/?action=close" >/dev/null
wait_for '! viewable "^Torvane Fone" && viewable "^APP"' 10 || fail "close did not put the window away"
kill_renderer
wait_for back 10 || fail "the page did not come back"
viewable '^Torvane Fone' && fail "recovering showed the window"
viewable '^APP' || fail "recovering hid the dial button"
client_stop
standin_stop

if [ $failures = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
