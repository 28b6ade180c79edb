#!/usr/bin/env bash
# The desktop application on the bundled example: the example site on a free
# 127.0.0.1 port, the embedded task store holding the example task, logged in
# as "demo". The program directory is BUILD/desktop-home. Without a display
# (no DISPLAY or WAYLAND_DISPLAY) it runs offscreen.
set -euo pipefail
BUILD=${1:-build/release}
cd "$(dirname "$0")/.."
. scripts/desktop-env.sh
trap demo_cleanup EXIT
demo_prepare "$BUILD" "$BUILD/desktop-home"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "== no display: running offscreen (Ctrl-C ends it)"
    export QT_QPA_PLATFORM=offscreen
fi
echo "== example site on http://127.0.0.1:$DEMO_PORT/board.html"
QUARVEX_HOME="$DEMO_HOME" "$BUILD/app/quarvex" --login
