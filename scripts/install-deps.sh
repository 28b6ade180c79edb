#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Quarvex need.
# Safe to run again: it asks apt only when something is missing.
set -euo pipefail

PACKAGES=(
    # build and tests
    build-essential cmake ninja-build pkg-config git
    libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    # libraries of the product
    libssl-dev ca-certificates openssl
    libsqlite3-dev sqlite3 unixodbc-dev libmariadb-dev
    libpq-dev postgresql   # the task store on PostgreSQL; its tests start a private server
    libsodium-dev libcpp-httplib-dev
    zlib1g-dev publicsuffix   # compressed bodies; the cookie jar's public-suffix list
    libcrypto++-dev   # linked into one test only, as an independent check of the blob cipher
    # the desktop application: Qt 6 Widgets, Chinese glyphs and Qt's own
    # button texts in Chinese; Xvfb and ImageMagick for the screenshots
    qt6-base-dev fonts-wqy-zenhei qt6-translations-l10n xvfb xauth imagemagick
    # the editor's browser node picker (Qt WebEngine) and its tests
    qt6-webengine-dev
    # peers the tests start on loopback
    nginx-light mariadb-server odbc-mariadb libsqliteodbc tinyproxy
    locales   # the locale sources from which the database tests generate de_DE and tr_TR
    python3
)
BENCH_PACKAGES=(
    libbenchmark-dev libcurl4-openssl-dev libgumbo-dev libxml2-dev python3-lxml wrk
    python3.11-doc postgresql-doc-15
)

want=("${PACKAGES[@]}")
if [ "${1:-}" = "--bench" ]; then
    want+=("${BENCH_PACKAGES[@]}")
fi

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
