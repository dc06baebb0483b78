#!/usr/bin/env bash
# Builds a benchmark, copies it and the programs it runs into a folder of their own (so that a
# build running beside it cannot relink a binary under a round), starts a throwaway MariaDB
# server on 127.0.0.1 (pinned to processors of its own on machines with 6 or more), runs the
# benchmark from the copy with the remaining arguments and stops the server again.
#   tools/bench/run-with-mysql.sh FOLDER TARGET [arguments]   (build/tools/bench/FOLDER/TARGET)
set -euo pipefail
folder=$1
target=$2
shift 2
cd "$(dirname "$0")/../.."
bin=$(tools/bench/copy-built.sh "tools/bench/$folder/$target")
server_dir=$(mktemp -d "/tmp/$target-mysql.XXXXXX")
trap 'tools/mysql-test-server.sh stop "$server_dir"; rm -rf "$bin"' EXIT
pin=()
if [ "$(nproc)" -ge 6 ] && command -v taskset >/dev/null; then
    export BENCH_MYSQL_CPUS=4,5
    pin=(taskset -c "$BENCH_MYSQL_CPUS")
fi
# The server's default durability: a log flush per commit, as a real server has.
VELMORA_TEST_MYSQL=$(VELMORA_MYSQL_FLUSH_LOG=1 "${pin[@]}" tools/mysql-test-server.sh start "$server_dir")
export VELMORA_TEST_MYSQL
"$bin/$target" "$@"
