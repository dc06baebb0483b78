#!/usr/bin/env bash
# Builds bench_pontrel, starts a throwaway MariaDB server on 127.0.0.1, runs the benchmark and
# stops the server again.   tools/bench/pontrel/run.sh [rows] [rounds]
set -euo pipefail
exec "$(dirname "$0")/../run-with-mysql.sh" pontrel bench_pontrel "$@"
