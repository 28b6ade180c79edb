#!/usr/bin/env bash
# Runs quarvex-store and "quarvex-cli store|blob" as a user would, against a
# store started here on 127.0.0.1 with a free port.
# Usage: cli_store_test.sh QUARVEX_CLI QUARVEX_STORE EXAMPLE_TASK
set -uo pipefail
CLI=$1
STORE=$2
EXAMPLE=$3
TMP=$(mktemp -d)
PID=""
cleanup() {
    [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# check WANT-STATUS COMMAND...: runs it with stdout in $TMP/out, stderr in $TMP/err.
check() {
    local want=$1
    shift
    "$@" >"$TMP/out" 2>"$TMP/err"
    local status=$?
    [ "$status" -eq "$want" ] || { fail "$* exited $status, expected $want"; cat "$TMP/err"; }
}

DB="$TMP/store.db"
echo "alice pw" | "$STORE" --db "$DB" adduser alice || fail "adduser alice"
echo "other" | "$STORE" --db "$DB" adduser alice 2>/dev/null && fail "adduser twice succeeded"
mkdir "$TMP/examples"
cp "$EXAMPLE" "$TMP/examples/a.dat"
echo "just notes" >"$TMP/examples/notes.txt"
check 0 "$STORE" --db "$DB" import-examples "$TMP/examples"
[ "$(wc -l <"$TMP/out")" -eq 1 ] || fail "import-examples imported $(wc -l <"$TMP/out") files, expected 1"
EXAMPLE_ID=$(cut -f1 "$TMP/out")
EXAMPLE_NAME=$(cut -f2 "$TMP/out")
[ -n "$EXAMPLE_NAME" ] || fail "import-examples printed no task name"
grep -q "notes.txt" "$TMP/err" || fail "the skipped file was not reported"
# A second import keeps every example once and names the stored id again.
check 0 "$STORE" --db "$DB" import-examples "$TMP/examples"
[ "$(cat "$TMP/out")" = "$EXAMPLE_ID	$EXAMPLE_NAME" ] || fail "import-examples again wrote: $(cat "$TMP/out")"
grep -q "a.dat: already stored" "$TMP/err" || fail "import-examples again said: $(cat "$TMP/err")"
check 2 "$STORE" --db "$DB" serve --max-tasks 0
check 2 "$STORE" --db "$DB" serve --max-tasks 1K
check 2 "$STORE" --db "$DB" serve --max-bytes 12X
check 2 "$STORE" --db "$DB" serve --max-per-address 0
check 2 "$STORE" --db "$DB" serve --max-per-address 4K
check 2 "$STORE" --db "$DB" serve --max-bytes 99999999999999999999
check 2 "$STORE" --db "$DB" serve --trusted-proxy not-an-address
check 2 "$STORE" --db "$DB" serve --trusted-proxy

"$STORE" --db "$DB" serve --listen 127.0.0.1:0 --max-tasks 1 --max-bytes 1M --max-per-address 4 \
    --trusted-proxy 192.0.2.1 --trusted-proxy '[2001:db8::1]' 2>"$TMP/server.log" &
PID=$!
PORT=""
for _ in $(seq 100); do
    PORT=$(sed -n 's/.*serving on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$TMP/server.log")
    [ -n "$PORT" ] && break
    sleep 0.1
done
[ -n "$PORT" ] || { echo "FAIL: the store did not start"; cat "$TMP/server.log"; exit 1; }
S="127.0.0.1:$PORT"
export QUARVEX_PASSWORD="alice pw"

check 0 "$CLI" store --server "$S" examples
[ "$(cat "$TMP/out")" = "$EXAMPLE_ID	$EXAMPLE_NAME" ] || fail "examples wrote: $(cat "$TMP/out")"
check 0 "$CLI" store --server "$S" --user alice get "$EXAMPLE_ID"
cmp -s "$TMP/out" "$EXAMPLE" || fail "get of the example differs from its file"

check 0 "$CLI" store --server "$S" --user alice list
[ -s "$TMP/out" ] && fail "a new account lists tasks"
check 0 "$CLI" store --server "$S" --user alice add "$EXAMPLE"
ID=$(cat "$TMP/out")
[ "${#ID}" -eq 38 ] || fail "add printed '$ID'"
check 0 "$CLI" store --server "$S" --user alice list
[ "$(cat "$TMP/out")" = "$ID	$EXAMPLE_NAME" ] || fail "list wrote: $(cat "$TMP/out")"
check 1 "$CLI" store --server "$S" --user alice add "$EXAMPLE"   # past --max-tasks 1
grep -q "添加任务失败！" "$TMP/err" || fail "an add past the quota said: $(cat "$TMP/err")"
printf '\r\n<root></root>' >"$TMP/empty-task"
check 0 "$CLI" store --server "$S" --user alice update "$ID" "$TMP/empty-task"
# The password may come on standard input as well.
QUARVEX_PASSWORD= ; unset QUARVEX_PASSWORD
echo "alice pw" | "$CLI" store --server "$S" --user alice get "$ID" >"$TMP/out" 2>"$TMP/err" || fail "get with the password on stdin"
cmp -s "$TMP/out" "$TMP/empty-task" || fail "get after update wrote: $(od -c "$TMP/out" | head -3)"
export QUARVEX_PASSWORD="alice pw"
# Versions and leases.
check 0 "$CLI" store --server "$S" --user alice versions
[ "$(cat "$TMP/out")" = "$ID	2" ] || fail "versions after one update wrote: $(cat "$TMP/out")"
check 0 "$CLI" store --server "$S" --user alice lease runner-a 60
[ "$(cat "$TMP/out")" = "$ID	1	60" ] || fail "lease wrote: $(cat "$TMP/out")"
check 0 "$CLI" store --server "$S" --user alice lease runner-b 60
[ -s "$TMP/out" ] && fail "a held task was leased again: $(cat "$TMP/out")"
check 1 "$CLI" store --server "$S" --user alice lease runner-b 60 "$ID"
check 1 "$CLI" store --server "$S" --user alice lease "bad holder" 60
check 1 "$CLI" store --server "$S" --user alice lease runner-b 0
check 1 "$CLI" store --server "$S" --user alice release runner-b "$ID" 1
check 0 "$CLI" store --server "$S" --user alice release runner-a "$ID" 1
check 0 "$CLI" store --server "$S" --user alice lease runner-b 60 "$ID"
[ "$(cat "$TMP/out")" = "$ID	2	60" ] || fail "lease after release wrote: $(cat "$TMP/out")"
check 2 "$CLI" store --server "$S" --user alice lease runner-b
check 0 "$CLI" store --server "$S" --user alice delete "$ID"
check 1 "$CLI" store --server "$S" --user alice delete "$ID"
grep -q "删除任务失败！" "$TMP/err" || fail "a failed delete said: $(cat "$TMP/err")"
check 1 "$CLI" store --server "$S" --user alice update "$ID" "$TMP/empty-task"
grep -q "修改任务失败！" "$TMP/err" || fail "a failed update said: $(cat "$TMP/err")"

QUARVEX_PASSWORD=wrong check 1 "$CLI" store --server "$S" --user alice list
grep -q "登录账号或密码错误！" "$TMP/err" || fail "a wrong password said: $(cat "$TMP/err")"
kill "$PID"; wait "$PID" 2>/dev/null; PID=""
check 1 "$CLI" store --server "$S" --user alice list
grep -q "网络通讯失败" "$TMP/err" || fail "a stopped store said: $(cat "$TMP/err")"
check 2 "$CLI" store --server "$S" list

# blob: encode, build a reply by interleaving the key, decode.
KEY=0123456789ABCDEF0123456789ABCDEF
check 0 "$CLI" blob encode --key "$KEY" "$EXAMPLE"
BLOB=$(cat "$TMP/out")
REPLY=$(python3 -c 'import sys; k, b = sys.argv[1], sys.argv[2]; print("".join(k[i] + b[i] for i in range(32)) + b[32:])' "$KEY" "$BLOB")
echo "$REPLY" >"$TMP/reply"
check 0 "$CLI" blob decode "$TMP/reply"
cmp -s "$TMP/out" "$EXAMPLE" || fail "blob decode did not give the definition back"
echo "$REPLY" | tr 'A-Z' 'a-z' >"$TMP/lower"
check 1 "$CLI" blob decode "$TMP/lower"
check 1 "$CLI" blob encode --key 0123 "$EXAMPLE"
check 2 "$CLI" blob frobnicate

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
