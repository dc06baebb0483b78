#!/usr/bin/env bash
# Builds bench_large_value, starts a throwaway MariaDB server on 127.0.0.1, runs the benchmark and
# stops the server again.   tools/bench/large_value/run.sh [MiB]
set -euo pipefail
exec "$(dirname "$0")/../run-with-mysql.sh" large_value bench_large_value "$@"
