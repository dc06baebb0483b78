#!/usr/bin/env bash
# Builds bench_dump, starts a throwaway MariaDB server on 127.0.0.1, runs the benchmark and stops
# the server again.   tools/bench/dump/run.sh [rows] [rounds]
set -euo pipefail
exec "$(dirname "$0")/../run-with-mysql.sh" dump bench_dump "$@"
