#!/usr/bin/env bash
# Load and durability run for quarvex-store on loopback.
#   bench/store/store_bench.sh BUILD_DIR [CLIENTS] [SECONDS]
# BUILD_DIR must hold server/quarvex-store and bench/store/store_load (configure
# with -DQUARVEX_BENCH=ON). Load: CLIENTS clients (default 50), each with an
# account of its own holding 3 tasks, log in, list and load for SECONDS
# seconds (default 30). Durability: a client adds tasks one after another,
# the server is killed with SIGKILL mid-stream, restarted on the same file,
# and every id that had been answered is loaded again.
set -euo pipefail
BUILD=${1:?usage: store_bench.sh BUILD_DIR [CLIENTS] [SECONDS]}
CLIENTS=${2:-50}
SECONDS_RUN=${3:-30}
STORE=$BUILD/server/quarvex-store
LOAD=$BUILD/bench/store/store_load
TMP=$(mktemp -d)
PID=""
cleanup() {
    if [ -n "$PID" ]; then kill "$PID" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

start_server() {
    : > "$TMP/server.log"
    # Every load client comes from 127.0.0.1: one address holding them all.
    "$STORE" --db "$TMP/store.db" serve --listen 127.0.0.1:0 --max-per-address $((CLIENTS + 8)) \
        2> "$TMP/server.log" &
    PID=$!
    for _ in $(seq 100); do
        PORT=$(sed -n 's/.*serving on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$TMP/server.log")
        [ -n "$PORT" ] && return 0
        sleep 0.1
    done
    echo "store_bench: the server did not start" >&2
    cat "$TMP/server.log" >&2
    exit 1
}

echo "== accounts: $CLIENTS"
for n in $(seq 0 $((CLIENTS > 50 ? CLIENTS - 1 : 49))); do
    echo "pw$n" | "$STORE" --db "$TMP/store.db" adduser "user$n"
done
start_server
"$LOAD" seed "$PORT" "$CLIENTS" 3

echo "== load: $CLIENTS clients, ${SECONDS_RUN}s, login + list + 3 loads per round"
# A run with errors still goes on to the durability check; the errors are
# in its figures.
"$LOAD" load "$PORT" "$CLIENTS" "$SECONDS_RUN" 1 || true
echo "== load: $CLIENTS clients, ${SECONDS_RUN}s, one login per 100 rounds of list + 3 loads"
"$LOAD" load "$PORT" "$CLIENTS" "$SECONDS_RUN" 100 || true

echo "== durability: SIGKILL during a stream of AddTask"
"$LOAD" add "$PORT" "$TMP/ids.txt" &
ADDER=$!
sleep 3
kill -KILL "$PID"
wait "$PID" 2>/dev/null || true
PID=""
wait "$ADDER"
echo "answered ids: $(wc -l < "$TMP/ids.txt")"
start_server
"$LOAD" verify "$PORT" "$TMP/ids.txt"
