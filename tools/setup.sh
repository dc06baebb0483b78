#!/usr/bin/env bash
# Installs the Debian packages that the system, its tests and its tools need.
# Installs nothing when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config python3
    libmariadb-dev libmariadb-dev-compat mariadb-server mariadb-client libicu-dev
    freetds-dev freetds-bin tdsodbc unixodbc unixodbc-dev
    libgtest-dev libgmock-dev
    qt6-base-dev xvfb xauth imagemagick fonts-dejavu-core xdg-utils
    locales
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A single-byte ANSI code page for the tests of the lossy conversion paths.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.cp1252$'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo localedef -f CP1252 -i en_US en_US.CP1252 >/dev/null 2>&1 || true
fi

# Node.js and npm run the second TDS client's check (tests/tedious). Debian's npm conflicts with a
# Node installed from elsewhere, so they are installed only where neither is found.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends nodejs npm
fi

# tedious, exactly as tests/tedious/package-lock.json pins it (npm's cache is used when it has it).
tedious_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/tedious"
if [ ! -d "$tedious_dir/node_modules/tedious" ] ||
    [ "$tedious_dir/package-lock.json" -nt "$tedious_dir/node_modules/.package-lock.json" ]; then
    (cd "$tedious_dir" && npm ci --no-audit --no-fund --prefer-offline --loglevel=error)
fi
