#!/usr/bin/env bash
# Starts ./run.sh without a display, waits until the client shows the stand-in
# hosted application (its page title becomes the window title), takes a
# screenshot, and stops everything. Usage: test-run-sh.sh [SCREENSHOT.png]
set -uo pipefail
source "$(dirname "$0")/headless-client.sh"
shot=${1:-$root/build/run-sh.png}
start_headless_client || exit 1
grep -q 'GET /api/app/novo/app/index.php' "$log" || { echo "FAIL: the stand-in was not asked for the start page"; exit 1; }
sleep 1
import -display "$display" -window root "$shot"
echo "client window titled \"Torvane Fone\" on $display; screenshot in $shot"
echo "1 passed, 0 failed"
