#!/usr/bin/env bash
# Navigations that end without replacing the page leave the hosted page
# running, in the real client under Xvfb with a page of our own that reports
# its instance every second: telephone and SIP links clicked with the mouse,
# a download, window.stop() during a navigation, two navigations in a row,
# an anchor. For each, the same instance still runs 10 s later and the
# recovery notice never shows. A private XDG_DATA_HOME registers a recording
# handler for tel: links; downloads go to a private download folder.
set -uo pipefail
cd "$(dirname "$0")/../.."
if [ -z "${TORVANE_NAVIGATION_DISPLAY:-}" ]; then
  tools/prepare-client.sh >/dev/null || exit 1
  TORVANE_NAVIGATION_DISPLAY=1 exec tools/with-standin.sh --xvfb --no-standin "$0" "$@"
fi

source tests/system/window-state.sh
failures=0
fail() { echo "FAIL ($case): $*"; grep -E "PageRecovery|ExternalLinks|DownloadSaver" "$log" | tail -10; failures=$((failures + 1)); }

scratch=$(mktemp -d)
log="$scratch/client.log"
standin="" client=""
cleanup() {
  [ -n "$client" ] && kill -TERM "$client" 2>/dev/null && wait "$client" 2>/dev/null
  [ -n "$standin" ] && kill "$standin" 2>/dev/null && wait "$standin" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# The user's folders: a handler that records the tel: links it gets, and a
# download folder that already holds a file of the name the page offers.
export XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config"
mkdir -p "$XDG_DATA_HOME/applications" "$XDG_CONFIG_HOME" "$scratch/downloads"
cat >"$scratch/record-link" <<EOF
#!/bin/sh
printf '%s\n' "\$1" >>"$scratch/links"
EOF
chmod +x "$scratch/record-link"
printf '[Desktop Entry]\nType=Application\nName=Record links\nExec=%s %%u\nMimeType=x-scheme-handler/tel;\nNoDisplay=true\n' \
  "$scratch/record-link" >"$XDG_DATA_HOME/applications/record-links.desktop"
printf '[Default Applications]\nx-scheme-handler/tel=record-links.desktop\n' >"$XDG_CONFIG_HOME/mimeapps.list"
printf 'XDG_DOWNLOAD_DIR="%s"\n' "$scratch/downloads" >"$XDG_CONFIG_HOME/user-dirs.dirs"
echo "an earlier recording" >"$scratch/downloads/recording.wav"

wait_for '! port_answers' 10 || { echo "port 8443 stays taken"; exit 1; }
build/bin/torvane-standin --cert build/ssl/localhost.pem --key build/ssl/localhost-key.pem --port 8443 \
  --root tests/client/navigation-site >/dev/null 2>&1 &
standin=$!
wait_for port_answers 10 || { echo "the stand-in did not start"; exit 1; }
QT_LOGGING_RULES="torvane.client.debug=true" build/bin/torvaneapp >"$log" 2>&1 &
client=$!

title='^Torvane Fone \(navigations\)'
# The instances the page reported, and the last tick of each.
ticks() {
  curl -s https://localhost:8443/recorded | python3 -c '
import json, sys
last = {}
for record in json.load(sys.stdin):
    last[record["instance"]] = max(last.get(record["instance"], -1), record["tick"])
print(" ".join("%s:%d" % item for item in last.items()))'
}
click_row() {
  local window
  window=$(xdotool search --name "$title" | head -1)
  xdotool mousemove --window "$window" 100 $(( 28 + 57 * $1 )) click 1
}
command() { curl -s "https://localhost:8085/?comando=$1" >/dev/null; }

case="start"
wait_for "titled '$title'" 60 || { fail "the page was not shown"; exit 1; }
wait_for '[ -n "$(ticks)" ]' 10 || { fail "the page reports nothing"; exit 1; }

for case in tel sip download stop twice anchor; do
  before=$(ticks)
  case "$case" in
    tel) click_row 0 ;;
    sip) click_row 1 ;;
    download) click_row 2 ;;
    anchor) click_row 3 ;;
    *) command "$case" ;;
  esac
  sleep 10
  after=$(ticks)
  instance=${before%%:*}
  [ "${after%%:*}" = "$instance" ] && [ "$(wc -w <<<"$after")" = 1 ] \
    || fail "the page was replaced: $before, then $after"
  [ $(( ${after##*:} - ${before##*:} )) -ge 8 ] || fail "the page stopped reporting: $before, then $after"
  grep -q 'PageRecovery: the page could not be loaded' "$log" && fail "the recovery notice was shown"
  titled 'sem conexão' && fail "the recovery notice is shown"
  case "$case" in
    tel)
      [ "$(cat "$scratch/links" 2>/dev/null)" = "tel:+551130000000" ] \
        || fail "the tel: handler got '$(cat "$scratch/links" 2>/dev/null)'" ;;
    sip)
      grep -q 'ExternalLinks: no handler for sip links' "$log" || fail "no line says that sip: has no handler" ;;
    download)
      [ "$(cat "$scratch/downloads/recording.wav")" = "an earlier recording" ] || fail "the earlier file was changed"
      [ "$(ls "$scratch/downloads" | wc -l)" = 2 ] || fail "downloads: $(ls "$scratch/downloads")"
      python3 -c 'import sys; sys.exit(open(sys.argv[1], "rb").read() != bytes(i * 7 % 251 for i in range(65536)))' \
        "$scratch/downloads/recording (1).wav" || fail "recording (1).wav is missing or not intact" ;;
  esac
done

if [ $failures = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
