#!/usr/bin/env bash
# Rebuilds the HTML parse benchmark corpus: every page of the Python and
# PostgreSQL documentation packages, copied flat into DIR (default
# build/html-corpus, beside the builds). The pages are not kept in the
# repository. Then: html_parse_bench DIR
set -euo pipefail
DIR=${1:-$(dirname "$0")/../../build/html-corpus}
SOURCES=(
    python3.11-doc:/usr/share/doc/python3.11/html
    postgresql-doc-15:/usr/share/doc/postgresql-doc-15/html
)
mkdir -p "$DIR"
# Only pages this script copied are removed, whatever DIR is.
find "$DIR" -maxdepth 1 -type f -name '*-doc*--*.html' -delete
for entry in "${SOURCES[@]}"; do
    pkg=${entry%%:*}
    root=${entry#*:}
    if [ ! -d "$root" ]; then
        echo "make-corpus: $root is missing; install $pkg" >&2
        exit 1
    fi
    while IFS= read -r -d '' f; do
        rel=${f#"$root"/}
        cp "$f" "$DIR/$pkg--${rel//\//--}"
    done < <(find "$root" -name '*.html' -type f -print0)
done
echo "$(ls "$DIR" | wc -l) pages, $(du -sh "$DIR" | cut -f1) in $DIR"
