#!/usr/bin/env bash
# Builds a benchmark (TARGET_PATH: its path under build/, e.g. tools/bench/pontrel/bench_pontrel)
# and copies it, with the programs the benchmarks run beside it, into a new folder whose path it
# prints. A benchmark runs its companions from its own folder when they are there, so a build
# started while it measures cannot relink a binary under a round.
set -euo pipefail
cd "$(dirname "$0")/../.."
path=$1
target=$(basename "$path")
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target "$target" >/dev/null
bin=$(mktemp -d "/tmp/$target-bin.XXXXXX")
cp "build/$path" "$bin/"
for companion in agent/pontrel tests/support/tds_server/tds_server_main \
    tools/bench/tds_read/bench_raw_read; do
    if [ -f "build/$companion" ]; then
        cp "build/$companion" "$bin/"
    fi
done
echo "$bin"
