#!/usr/bin/env bash
# Installs the Debian packages that the system, its tests and its tools need.
# Installs nothing when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config python3
    libmariadb-dev libmariadb-dev-compat mariadb-server mariadb-client
    freetds-dev tdsodbc unixodbc unixodbc-dev
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
