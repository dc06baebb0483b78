#!/usr/bin/env bash
# Builds bench_wizard, starts a throwaway MariaDB server on 127.0.0.1, runs the benchmark and
# stops the server again.   tools/bench/wizard/run.sh [rows]
set -euo pipefail
QT_QPA_PLATFORM=offscreen exec "$(dirname "$0")/../run-with-mysql.sh" wizard bench_wizard "$@"
