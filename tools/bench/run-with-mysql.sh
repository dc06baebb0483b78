#!/usr/bin/env bash
# Builds a benchmark, starts a throwaway MariaDB server on 127.0.0.1, runs the benchmark with the
# remaining arguments and stops the server again.
#   tools/bench/run-with-mysql.sh FOLDER TARGET [arguments]   (build/tools/bench/FOLDER/TARGET)
set -euo pipefail
folder=$1
target=$2
shift 2
cd "$(dirname "$0")/../.."
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target "$target" >/dev/null
server_dir=$(mktemp -d "/tmp/$target-mysql.XXXXXX")
trap 'tools/mysql-test-server.sh stop "$server_dir"' EXIT
# The server's default durability: a log flush per commit, as a real server has.
VELMORA_TEST_MYSQL=$(VELMORA_MYSQL_FLUSH_LOG=1 tools/mysql-test-server.sh start "$server_dir")
export VELMORA_TEST_MYSQL
"build/tools/bench/$folder/$target" "$@"
