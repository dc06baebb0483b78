#!/usr/bin/env bash
# Installs the benchmark's peers (tedious, freebcp) through tools/setup.sh, builds
# bench_mss_write, copies it into a folder of its own (so that a build running beside it cannot
# relink it under a round) and runs it from there.
#   tools/bench/mss_write/run.sh [rows] [rounds] [insert rows]
set -euo pipefail
cd "$(dirname "$0")/../../.."
tools/setup.sh
bin=$(tools/bench/copy-built.sh tools/bench/mss_write/bench_mss_write)
trap 'rm -rf "$bin"' EXIT
"$bin/bench_mss_write" "$@"
