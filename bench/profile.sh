#!/usr/bin/env bash
# Profiles a bench server under one load with perf (software clock, DWARF
# call graphs) and prints the entries with the most time, callees included.
# Usage: bench/profile.sh BUILD-DIR tls-close|close|keep-alive [connections] [top]
# Needs perf (linux-perf), wrk and openssl.
set -euo pipefail
build=$1 load=$2 connections=${3:-10} top=${4:-30}
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
port=18199
args=(--port "$port")
scheme=http
if [ "$load" = tls-close ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout "$work/key.pem" \
    -out "$work/cert.pem" 2>/dev/null
  args+=(--cert "$work/cert.pem" --key "$work/key.pem")
  scheme=https
fi
"$build/bench/benchserver" "${args[@]}" >/dev/null 2>&1 &
server=$!
sleep 1
wrk_args=(-t"$(( connections < 2 ? 1 : 2 ))" -c "$connections" -d 9s)
[ "$load" = keep-alive ] || wrk_args+=(-H "Connection: close")
wrk "${wrk_args[@]}" "$scheme://127.0.0.1:$port/" >/dev/null &
load_pid=$!
sleep 2
perf record -q -F 499 --call-graph dwarf,16384 -p "$server" -o "$work/perf.data" -- sleep 5 >/dev/null 2>&1
wait "$load_pid" || true
# Entries without a symbol (stripped libraries) are left out.
perf report -i "$work/perf.data" --children --sort dso,symbol -g none 2>/dev/null \
  | grep -E '^ +[0-9]' | grep -v '\] 0x' | head -n "$top"
