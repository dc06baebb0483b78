// pontrel on a table of a million rows (by default) of the TDS test server: into a script file
// and, when VELMORA_TEST_MYSQL names a MariaDB server, into that server. Beside them, two
// baselines measured in the same run: the rows read through FreeTDS's ODBC driver alone (the
// floor of the source side) and the script loaded by MariaDB's own client (the floor of the
// server side). Prints rows/s, MB/s and the peak resident memory of each.
//
// Usage: bench_pontrel [rows]        tools/bench/pontrel/run.sh starts a MariaDB server for it
#include "raw_odbc.h"

#include "tests/support/tds_server/tds_server.h"

#include <mysql.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct measured {
    double seconds = 0;
    long peak_kib = 0;
    int exit_code = -1;
};

// The table of the benchmark: the kinds of column most tables have.
std::string fixture_text(unsigned long rows) {
    return "database velmora_bench\n"
           "login sa Velmora-Pw1\n"
           "table dbo.rows_1m\n"
           "column id int not null\n"
           "column label nvarchar(40) not null\n"
           "column amount decimal(12,2) null\n"
           "column created datetime2(3) not null\n"
           "column code varchar(10) null\n"
           "column flag bit not null\n"
           "primary key PK_rows_1m (id)\n"
           "generate " +
           std::to_string(rows) +
           " row {n}, N'row {n} \xC3\xA9t\xC3\xA9', {n}.25, '2024-01-02 03:04:05.678', 'c{n}', 1\n"
           "end\n";
}

// Runs `argv` as a child and measures its wall time and peak resident size.
measured run_child(const std::vector<std::string>& args, const std::string& stdout_path) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (std::freopen(stdout_path.c_str(), "w", stdout) == nullptr) {
            _exit(127);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    measured m;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m.peak_kib = usage.ru_maxrss;
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return m;
}

void print(const char* what, unsigned long rows, std::uint64_t bytes, const measured& m) {
    std::printf("%-44s %8.2f s %10.0f rows/s %8.1f MB/s  peak %7.1f MB%s\n", what, m.seconds,
                rows / m.seconds, bytes / m.seconds / 1e6, m.peak_kib / 1024.0,
                m.exit_code == 0 ? "" : "  (FAILED)");
}

struct mysql_address {
    std::string host, port, user, password;
};

bool mysql_from_env(mysql_address& out) {
    const char* text = std::getenv("VELMORA_TEST_MYSQL");
    if (text == nullptr || *text == '\0') {
        return false;
    }
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ';')) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "host")
            out.host = value;
        if (key == "port")
            out.port = value;
        if (key == "user")
            out.user = value;
        if (key == "password")
            out.password = value;
    }
    return true;
}

// One statement on the server; the first value of its result, if any.
std::string mysql_value(const mysql_address& a, const std::string& statement) {
    MYSQL mysql;
    mysql_init(&mysql);
    std::string value;
    if (mysql_real_connect(&mysql, a.host.c_str(), a.user.c_str(), a.password.c_str(), nullptr,
                           static_cast<unsigned>(std::stoul(a.port)), nullptr, 0) == nullptr ||
        mysql_query(&mysql, statement.c_str()) != 0) {
        std::fprintf(stderr, "MariaDB: %s\n", mysql_error(&mysql));
    } else if (MYSQL_RES* result = mysql_store_result(&mysql)) {
        if (MYSQL_ROW row = mysql_fetch_row(result); row != nullptr && row[0] != nullptr) {
            value = row[0];
        }
        mysql_free_result(result);
    }
    mysql_close(&mysql);
    return value;
}

} // namespace

int main(int argc, char** argv) {
    const unsigned long rows = argc > 1 ? std::stoul(argv[1]) : 1000000;
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("bench-pontrel-" + std::to_string(getpid()));
    std::filesystem::create_directories(work / "config");
    setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
    const std::string log = (work / "pontrel.out").string();

    std::vector<tds_fixture_database> databases;
    databases.push_back(tds_parse_fixture(fixture_text(rows), "bench"));
    tds_server server(std::move(databases));
    server.start();
    const std::vector<std::string> source = {PONTREL_PATH,
                                             "--mssqlh=127.0.0.1," + std::to_string(server.port()),
                                             "--mssqlu=sa",
                                             "--mssqlp=Velmora-Pw1",
                                             "--src=velmora_bench",
                                             "--mschema=dbo",
                                             "--silent"};
    std::printf("pontrel, %lu rows of dbo.rows_1m (int, nvarchar, decimal, datetime2, varchar, "
                "bit)\n\n",
                rows);

    // Baseline: the same rows through FreeTDS's ODBC driver alone.
    measured raw;
    const auto raw_start = std::chrono::steady_clock::now();
    const raw_result read =
        raw_odbc_read(server.odbc_connection_string("sa", "Velmora-Pw1", "velmora_bench"),
                      "SELECT * FROM dbo.rows_1m");
    raw.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - raw_start).count();
    raw.exit_code = read.error.empty() && read.rows == rows ? 0 : 1;
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    raw.peak_kib = self.ru_maxrss;
    print("baseline: rows read by ODBC alone", rows, read.bytes, raw);
    if (!read.error.empty()) {
        std::fprintf(stderr, "ODBC: %s\n", read.error.c_str());
    }

    // Into a script file.
    const std::string script = (work / "bench.sql").string();
    std::vector<std::string> args = source;
    args.push_back("--dump");
    args.push_back("--dest=" + script);
    const measured dump = run_child(args, log);
    const std::uint64_t script_bytes =
        std::filesystem::exists(script) ? std::filesystem::file_size(script) : 0;
    print("pontrel into a script file", rows, script_bytes, dump);

    mysql_address mysql;
    if (!mysql_from_env(mysql)) {
        std::printf("\n(VELMORA_TEST_MYSQL is not set: no MariaDB runs; see run.sh)\n");
    } else {
        // Into the server. MB/s counts the script's size: the same statements travel.
        args = source;
        args.insert(args.end(),
                    {"--dest=bench_pontrel", "--mysqlh=" + mysql.host, "--port=" + mysql.port,
                     "--mysqlu=" + mysql.user, "--mysqlp=" + mysql.password});
        const measured server_run = run_child(args, log);
        print("pontrel into MariaDB", rows, script_bytes, server_run);
        const std::string arrived =
            mysql_value(mysql, "SELECT COUNT(*) FROM bench_pontrel.rows_1m");
        if (arrived != std::to_string(rows)) {
            std::printf("  rows in MariaDB: %s (expected %lu)\n", arrived.c_str(), rows);
        }

        // Baseline: MariaDB's own client loading the script.
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");
        mysql_value(mysql, "CREATE DATABASE bench_replay CHARACTER SET utf8mb4");
        const std::string command = "mariadb --no-defaults --default-character-set=utf8mb4 -h " +
                                    mysql.host + " -P " + mysql.port + " -u " + mysql.user +
                                    " -p'" + mysql.password + "' bench_replay < '" + script + "'";
        const measured replay = run_child({"sh", "-c", command}, log);
        print("baseline: the script loaded by mariadb", rows, script_bytes, replay);
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_pontrel");
    }
    std::filesystem::remove_all(work);
    return 0;
}
