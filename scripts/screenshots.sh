#!/usr/bin/env bash
# Pictures of the desktop application's windows into docs/screenshots/: the
# application runs on the bundled demo (embedded store, the example site, the
# example task running) under Xvfb when it is installed, else offscreen, and
# quarvex-screenshots grabs each window (see the table in
# app/ScreenshotMain.cpp to add one).
set -euo pipefail
BUILD=${1:-build/release}
cd "$(dirname "$0")/.."
OUT=docs/screenshots
mkdir -p "$OUT"
cmake --build "$BUILD" --target quarvex-screenshots quarvex-store quarvex-picker-screenshots >/dev/null
. scripts/desktop-env.sh
XVFB_PID=""
cleanup() {
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    demo_cleanup
}
trap cleanup EXIT
demo_prepare "$BUILD" "$DEMO_WORK/home"

if command -v Xvfb >/dev/null; then
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        sleep 1
        if kill -0 "$XVFB_PID" 2>/dev/null; then
            export DISPLAY=":$n"
            break
        fi
        XVFB_PID=""
    done
fi
if [ -z "${DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
fi
QUARVEX_HOME="$DEMO_HOME" "$BUILD/app/quarvex-screenshots" "$OUT"
# The browser node picker: the browser mid-drag and the checked path.
QTWEBENGINE_DISABLE_SANDBOX=1 QT_QUICK_BACKEND=software "$BUILD/editor/picker/quarvex-picker-screenshots" "$OUT" examples/site
