#!/usr/bin/env bash
# Builds a libFuzzer target with clang (ASan and UBSan on) in build/fuzz and
# runs it on its seed corpus for a while. New inputs go to build/fuzz/corpus;
# a crash leaves build/fuzz/crash-*: copy it into tests/fuzz/corpus/<name>/
# so that the replay test keeps it.
#   scripts/fuzz.sh [SECONDS] [TARGET]      e.g. scripts/fuzz.sh 300 markup
set -euo pipefail
SECONDS_TO_RUN=${1:-60}
TARGET=${2:-markup}
cd "$(dirname "$0")/.."
BUILD=${FUZZ_BUILD:-build/fuzz}
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUARVEX_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}" --target "${TARGET}_fuzz"
mkdir -p "$BUILD/corpus/$TARGET"
exec "$BUILD/tests/fuzz/${TARGET}_fuzz" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$BUILD/" "$BUILD/corpus/$TARGET" "tests/fuzz/corpus/$TARGET"
