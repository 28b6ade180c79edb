#!/usr/bin/env bash
# The main job on the bundled example: serves the example site (examples/site)
# on a free 127.0.0.1 port, aims the example task at it and runs one pass with
# quarvex-cli, which prints the records it harvested (standard output) and the
# task log (standard error). The server is stopped however the run ends.
set -euo pipefail
BUILD=${1:-build/release}
cd "$(dirname "$0")/.."
CLI="$BUILD/cli/quarvex-cli"

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

python3 examples/serve.py examples/site > "$WORK/port" &
SERVER_PID=$!
for _ in $(seq 100); do
    [ -s "$WORK/port" ] && break
    sleep 0.1
done
PORT=$(head -n 1 "$WORK/port")
if [ -z "$PORT" ]; then
    echo "demo: the example site did not start" >&2
    exit 1
fi

sed "s/@PORT@/$PORT/g" examples/demo-task.dat > "$WORK/task.dat"
echo "== example site on http://127.0.0.1:$PORT/board.html"
echo "== quarvex-cli run --once (records on standard output, log on standard error)"
"$CLI" run "$WORK/task.dat" --once --data-dir "$WORK/data"
