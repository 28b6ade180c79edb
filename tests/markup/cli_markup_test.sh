#!/usr/bin/env bash
# Runs "quarvex-cli markup" as a user would and checks its output and exit
# status. Usage: cli_markup_test.sh QUARVEX_CLI EXAMPLE_TASK
set -uo pipefail
CLI=$1
EXAMPLE=$2
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
failures=0

# expect STATUS STDOUT-FILE COMMAND...: runs the command, compares its exit
# status and its standard output byte for byte.
expect() {
    local want_status=$1 want_out=$2
    shift 2
    "$@" >"$TMP/out" 2>"$TMP/err" </dev/null
    local status=$?
    if [ "$status" -ne "$want_status" ]; then
        echo "FAIL: $* exited $status, expected $want_status"; cat "$TMP/err"; failures=$((failures + 1)); return
    fi
    if ! cmp -s "$TMP/out" "$want_out"; then
        echo "FAIL: $* wrote:"; od -c "$TMP/out" | head; failures=$((failures + 1))
    fi
}

: >"$TMP/empty"
printf '\r\n<a>\r\n\t<b>x&lt;y</b>\r\n</a>' >"$TMP/canonical"
printf '<a>  <b>x&lt;y</b></a>' >"$TMP/loose"
printf '<a>v</a>\n' >"$TMP/a-value"
printf '<a><b>v</b></a>' >"$TMP/nested"

expect 0 "$EXAMPLE" "$CLI" markup format "$EXAMPLE"
expect 0 "$TMP/canonical" "$CLI" markup format "$TMP/loose"
expect 0 "$TMP/canonical" sh -c "\"$CLI\" markup format <\"$TMP/loose\""
expect 0 "$TMP/canonical" sh -c "\"$CLI\" markup format - <\"$TMP/loose\""
expect 1 "$TMP/empty" "$CLI" markup format "$TMP/empty"
expect 1 "$TMP/empty" "$CLI" markup format "$TMP/missing"
expect 1 "$TMP/empty" "$CLI" markup format "$TMP"

printf 'x<y\n' >"$TMP/want"
expect 0 "$TMP/want" "$CLI" markup get 'a@b' "$TMP/loose"
expect 0 "$TMP/want" "$CLI" markup get 'a@b@' "$TMP/loose"
expect 0 "$TMP/empty" "$CLI" markup get 'a' "$TMP/loose"       # an element without a text child
expect 1 "$TMP/empty" "$CLI" markup get 'a@c' "$TMP/loose"
printf '60abc\n' >"$TMP/want"
printf '<root><general><frequence>60abc</frequence></general></root>' >"$TMP/def"
expect 0 "$TMP/want" "$CLI" markup get 'root@general@frequence' "$TMP/def"
printf '300\n' >"$TMP/want"
expect 0 "$TMP/want" "$CLI" markup get 'root@general@frequence' "$EXAMPLE"

# A 10 MB definition, 3000 levels deep with a million siblings, formats
# whole: two lines per level opened, one per level closed, one per sibling
# and two for root, each begun by CR LF.
{
    printf '<root>'
    yes '<location><path>@div</path>' | head -n 3000
    yes '</location>' | head -n 3000
    yes '<data></data>' | head -n 1000000
    printf '</root>'
} | tr -d '\n' >"$TMP/big"
"$CLI" markup format "$TMP/big" >"$TMP/big-out"
status=$?
lines=$(tr -cd '\n' <"$TMP/big-out" | wc -c)
if [ "$status" -ne 0 ] || [ "$lines" -ne 1009002 ] || [ "$(tail -c 9 "$TMP/big-out" | od -An -c | tr -d ' ')" != '\r\n</root>' ]; then
    echo "FAIL: big definition: status $status, $lines lines"; failures=$((failures + 1))
fi

# Wrong command lines print the usage and exit 2.
expect 2 "$TMP/empty" "$CLI" markup
expect 2 "$TMP/empty" "$CLI" markup frobnicate
expect 2 "$TMP/empty" "$CLI" markup format a b
expect 2 "$TMP/empty" "$CLI" markup get
expect 2 "$TMP/empty" "$CLI" markup get p a b

[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures != 0))
