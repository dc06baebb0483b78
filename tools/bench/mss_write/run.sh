#!/usr/bin/env bash
# Installs the benchmark's peers (tedious, freebcp) through tools/setup.sh, builds
# bench_mss_write and runs it.   tools/bench/mss_write/run.sh [rows] [rounds] [insert rows]
set -euo pipefail
cd "$(dirname "$0")/../../.."
tools/setup.sh
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target bench_mss_write >/dev/null
exec build/tools/bench/mss_write/bench_mss_write "$@"
