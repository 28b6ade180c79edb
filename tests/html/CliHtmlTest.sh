#!/usr/bin/env bash
# The tree, select and extract commands of quarvex-cli, end to end.
# Usage: CliHtmlTest.sh QUARVEX_CLI
set -uo pipefail
CLI=$1
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
FAILS=0

check() {  # NAME EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
        FAILS=$((FAILS + 1))
    fi
}

printf '<div id=a>x</div><!--c-->' > "$DIR/page.html"
check "tree --spans" "$(printf '0 1 0 11 1 4\n1 0 10 11 10 11\n0 2 11 17 13 16\n0 4 17 25 21 24')" \
    "$("$CLI" tree --spans "$DIR/page.html")"
check "tree from standard input" "$(printf 'element p\n  text "a b"\n  element br\nend /p')" \
    "$(printf '<p>a b<br></p>' | "$CLI" tree)"

check "select text" "x" "$("$CLI" select "$DIR/page.html" div)"
check "select outer" "<div id=a>x</div>" "$("$CLI" select "$DIR/page.html" div --outer)"
check "select attribute" "a" "$("$CLI" select "$DIR/page.html" div --attr id)"
"$CLI" select "$DIR/page.html" table >/dev/null 2>&1
check "select finds nothing" "1" "$?"
"$CLI" select "$DIR/page.html" >/dev/null 2>&1
check "select without a path" "2" "$?"

cat > "$DIR/task.dat" <<'DEF'
<root><location><path>table@tr</path><step>#tr</step>
<data><name>key</name><path>@td</path><order>1</order></data>
<data><type>1</type><path>@td#td</path><order>2</order></data>
</location></root>
DEF
printf '<table><tr><td>a\\b</td><td>1\t2\r\n3</td></tr><tr><td>c</td></tr></table>' > "$DIR/rows.html"
check "extract" "$(printf 'key\t数据\na\\\\b\t1\\t2\\r\\n3\nc\t')" "$("$CLI" extract "$DIR/task.dat" "$DIR/rows.html")"
printf '<p>no table</p>' > "$DIR/none.html"
check "extract without a first record" "$(printf 'key\t数据')" "$("$CLI" extract "$DIR/task.dat" "$DIR/none.html")"
"$CLI" extract "$DIR/missing.dat" "$DIR/rows.html" >/dev/null 2>&1
check "extract without a definition file" "1" "$?"

exit $((FAILS > 0))
