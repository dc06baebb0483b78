#!/usr/bin/env bash
# Starts or stops the TDS test server (a stand-in for MS SQL Server) for manual runs, on
# 127.0.0.1 only, on a free port, serving fixture files.
#   tools/tds-test-server.sh start DIR [OPTION...] [FIXTURE...]
#       prints "host=127.0.0.1;port=N" on stdout; without fixtures it serves all_types.tds.
#       Options are tds_server_main's: --refuse-logins, --fail TEXT=NUMBER:MESSAGE,
#       --drop TEXT=ROWS, --discard-written-rows. The statements received are written to
#       DIR/statements.log on stop.
#   tools/tds-test-server.sh stop DIR
# The program comes from build/ (or $TDS_SERVER_MAIN) and is built there when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

cmd=${1:?usage: tds-test-server.sh start|stop DIR [OPTION...] [FIXTURE...]}
dir=${2:?usage: tds-test-server.sh start|stop DIR [OPTION...] [FIXTURE...]}
shift 2

program=${TDS_SERVER_MAIN:-build/tests/support/tds_server/tds_server_main}

start() {
    if [ ! -x "$program" ]; then
        [ -f build/build.ninja ] || cmake --preset default >/dev/null
        cmake --build build --target tds_server_main >/dev/null
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    "$program" --port-file "$dir/port" --log "$dir/statements.log" "$@" \
        >"$dir/server.log" 2>&1 </dev/null &
    echo $! >"$dir/pid"
    for _ in $(seq 1 100); do
        [ -s "$dir/port" ] && break
        kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
        sleep 0.05
    done
    [ -s "$dir/port" ] || { cat "$dir/server.log" >&2; echo "the TDS test server did not start" >&2; exit 1; }
    echo "host=127.0.0.1;port=$(cat "$dir/port")"
}

stop() {
    [ -f "$dir/pid" ] || return 0
    local pid
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/pid" "$dir/port"
}

case "$cmd" in
start) start "$@" ;;
stop) stop ;;
*) echo "usage: tds-test-server.sh start|stop DIR [OPTION...] [FIXTURE...]" >&2; exit 2 ;;
esac
