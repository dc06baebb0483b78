#!/usr/bin/env bash
# The whole test suite from a fresh machine: installs what is missing, builds, starts a throwaway
# MariaDB server on 127.0.0.1, runs every test and stops the server again.
#   tools/test.sh            the ordinary build (build/)
#   tools/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
[ "${1:-}" = "--asan" ] && preset=asan

tools/setup.sh
# Compiler-cache hits across checkouts: CI builds a fresh clone in a new folder every time.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

server_dir=$(mktemp -d /tmp/velmora-mysql.XXXXXX)
trap 'tools/mysql-test-server.sh stop "$server_dir"' EXIT
VELMORA_TEST_MYSQL=$(tools/mysql-test-server.sh start "$server_dir")
export VELMORA_TEST_MYSQL

ctest --preset "$preset"
