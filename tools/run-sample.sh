#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: installs what is missing, builds pontrel, starts the
# TDS test server (a stand-in for MS SQL Server) with a small sample database on 127.0.0.1, and
# converts that database with pontrel into a script file and into a throwaway MariaDB server.
#   tools/run-sample.sh [OUTPUT_DIR] [--keep]
# OUTPUT_DIR (default /tmp/velmora-sample) receives the script file, pontrel's trace logs and the
# MariaDB server's data; it is emptied first, so a folder of other files is refused. With --keep
# the MariaDB server stays up for a look at the result; the script prints how to reach it and how
# to stop it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

out=/tmp/velmora-sample
keep=0
usage() {
    sed -n '2,9s/^# \{0,1\}//p' "$0"
}
for arg in "$@"; do
    case "$arg" in
    --keep) keep=1 ;;
    -h | --help)
        usage
        exit 0
        ;;
    -*)
        echo "run-sample: unknown option $arg" >&2
        usage >&2
        exit 2
        ;;
    *) out=$arg ;;
    esac
done

# The folder is emptied before each run: only a folder this script made, the default one or an
# empty one is taken, never a folder of the user's own files.
marker=.velmora-sample
if [ -e "$out" ] && [ "$out" != /tmp/velmora-sample ] && [ ! -f "$out/$marker" ] &&
    [ -n "$(ls -A "$out" 2>/dev/null || echo file)" ]; then
    echo "run-sample: $out holds files this script did not make; name a new or empty folder" >&2
    exit 2
fi

tools/setup.sh

# The build speaks only when it fails, and then in full: a newcomer must see why.
quiet_build() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "run-sample: the build failed (output above)" >&2
        exit 1
    fi
    rm -f "$log"
}
echo "Building pontrel and the TDS test server in build/"
[ -f build/build.ninja ] || quiet_build cmake --preset default
quiet_build cmake --build --preset default --target pontrel tds_server_main

# A MariaDB server left up by an earlier run with --keep must not lose its files under it.
tools/mysql-test-server.sh stop "$out/mysql" >/dev/null 2>&1 || true
rm -rf "$out"
mkdir -p "$out"
touch "$out/$marker"
out=$(cd "$out" && pwd)
pontrel=$root/build/agent/pontrel
fixture=$root/tests/agent/fixtures/agent.tds

stop_servers() {
    TDS_SERVER_MAIN=$root/build/tests/support/tds_server/tds_server_main \
        tools/tds-test-server.sh stop "$out/tds" >/dev/null 2>&1 || true
    if [ "$keep" = 0 ]; then
        tools/mysql-test-server.sh stop "$out/mysql" >/dev/null 2>&1 || true
    fi
}
trap stop_servers EXIT

echo "Starting the TDS test server with the sample database velmora_agent ($fixture)"
tds=$(TDS_SERVER_MAIN=$root/build/tests/support/tds_server/tds_server_main \
    tools/tds-test-server.sh start "$out/tds" "$fixture")
tds_port=${tds##*port=}
mssql=(--mssqlh="127.0.0.1,$tds_port" --mssqlu=sa --mssqlp=Velmora-Pw1 --src=velmora_agent
    --mschema=)

echo
echo "== pontrel into a script file"
rc=0
(cd "$out" && XDG_CONFIG_HOME="$out/config" "$pontrel" "${mssql[@]}" --dump \
    --dest="$out/velmora_agent.sql" --logfile="$out/pontrel-script.log") || rc=$?
echo "exit code: $rc"

echo
echo "Starting a throwaway MariaDB server"
mysql_env=$(tools/mysql-test-server.sh start "$out/mysql")
field() { echo "$mysql_env" | tr ';' '\n' | sed -n "s/^$1=//p"; }
host=$(field host)
port=$(field port)
user=$(field user)
password=$(field password)

echo
echo "== pontrel into MariaDB (database velmora_sample)"
rc=0
(cd "$out" && XDG_CONFIG_HOME="$out/config" "$pontrel" "${mssql[@]}" --dest=velmora_sample \
    --mysqlh="$host" --port="$port" --mysqlu="$user" --mysqlp="$password" \
    --logfile="$out/pontrel-mysql.log") || rc=$?
echo "exit code: $rc"

client=(mariadb --no-defaults -h "$host" -P "$port" -u "$user" -p"$password")
echo
echo "Rows in MariaDB:"
"${client[@]}" -N -e "SELECT table_name FROM information_schema.tables WHERE table_schema = \
'velmora_sample' AND table_type = 'BASE TABLE' ORDER BY table_name" |
    while IFS= read -r table; do
        rows=$("${client[@]}" -N -e "SELECT COUNT(*) FROM \`velmora_sample\`.\`$table\`")
        # Padded by characters, not bytes: the sample has names beyond ASCII.
        pad=$((21 - ${#table}))
        [ "$pad" -ge 1 ] || pad=1
        printf '  %s%*s%s rows\n' "$table" "$pad" "" "$rows"
    done

echo
echo "Results:"
echo "  script file:  $out/velmora_agent.sql"
echo "  trace logs:   $out/pontrel-script.log, $out/pontrel-mysql.log"
if [ "$keep" = 1 ]; then
    echo "  MariaDB:      ${client[*]} velmora_sample"
    echo "  stop it with: tools/mysql-test-server.sh stop $out/mysql"
else
    echo "  MariaDB:      stopped again (run with --keep to look at database velmora_sample)"
fi
