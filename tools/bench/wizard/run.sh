#!/usr/bin/env bash
# Builds bench_wizard, starts a throwaway MariaDB server on 127.0.0.1, runs the benchmark and
# stops the server again.   tools/bench/wizard/run.sh [rows]
set -euo pipefail
cd "$(dirname "$0")/../../.."
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target bench_wizard >/dev/null
server_dir=$(mktemp -d /tmp/bench-wizard-mysql.XXXXXX)
trap 'tools/mysql-test-server.sh stop "$server_dir"' EXIT
# The server's default durability: a log flush per commit, as a real server has.
VELMORA_TEST_MYSQL=$(VELMORA_MYSQL_FLUSH_LOG=1 tools/mysql-test-server.sh start "$server_dir")
export VELMORA_TEST_MYSQL
QT_QPA_PLATFORM=offscreen build/tools/bench/wizard/bench_wizard "$@"
