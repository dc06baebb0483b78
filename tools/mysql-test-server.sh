#!/usr/bin/env bash
# Starts or stops a throwaway MariaDB server for the tests, on 127.0.0.1 only, with its own
# data directory, socket and a free port.
#   tools/mysql-test-server.sh start DIR   prints the VELMORA_TEST_MYSQL value on stdout
#   tools/mysql-test-server.sh stop DIR
# The tests run without a log flush per commit (faster; a killed server may lose the last
# commits). VELMORA_MYSQL_FLUSH_LOG=1 gives the server's default durability, as benchmarks of
# the commit cost need.
set -euo pipefail

cmd=${1:?usage: mysql-test-server.sh start|stop DIR}
dir=${2:?usage: mysql-test-server.sh start|stop DIR}
user=velmora_test
password='vel-Test-pw1'

free_port() {
    python3 - <<'PY'
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
PY
}

start() {
    rm -rf "$dir"
    mkdir -p "$dir/data"
    mariadb-install-db --no-defaults --datadir="$dir/data" --user=root \
        --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 ||
        { cat "$dir/install.log" >&2; echo "mariadb-install-db failed" >&2; exit 1; }
    local port
    port=$(free_port)
    mariadbd --no-defaults --datadir="$dir/data" --socket="$dir/sock" --pid-file="$dir/pid" \
        --port="$port" --bind-address=127.0.0.1 --skip-name-resolve --user=root \
        --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
        --max-allowed-packet=1G --innodb-buffer-pool-size=256M --innodb-log-file-size=256M \
        --innodb-flush-log-at-trx-commit="${VELMORA_MYSQL_FLUSH_LOG:-0}" --skip-log-bin --log-error="$dir/error.log" \
        >/dev/null 2>&1 &
    echo $! >"$dir/launcher.pid"
    for _ in $(seq 1 150); do
        if mariadb-admin --no-defaults --socket="$dir/sock" -uroot ping >/dev/null 2>&1; then
            break
        fi
        sleep 0.2
    done
    mariadb-admin --no-defaults --socket="$dir/sock" -uroot ping >/dev/null 2>&1 ||
        { cat "$dir/error.log" >&2; echo "the MariaDB test server did not start" >&2; exit 1; }
    mariadb --no-defaults --socket="$dir/sock" -uroot <<SQL
CREATE USER '$user'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'127.0.0.1' WITH GRANT OPTION;
FLUSH PRIVILEGES;
SQL
    echo "host=127.0.0.1;port=$port;user=$user;password=$password;socket=$dir/sock"
}

stop() {
    [ -f "$dir/pid" ] || return 0
    local pid
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -rf "$dir"
}

case "$cmd" in
start) start ;;
stop) stop ;;
*) echo "usage: mysql-test-server.sh start|stop DIR" >&2; exit 2 ;;
esac
