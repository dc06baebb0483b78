// pontrel on a table of a million rows (by default) of the TDS test server: into a script file
// and, when VELMORA_TEST_MYSQL names a MariaDB server, into that server. Beside them, the
// strongest peers measured in the same run:
//   - the rows read through FreeTDS's ODBC driver alone in 1,000-row arrays (the floor of the
//     source side), and mysqldump writing the same rows from MariaDB: peers of the script file;
//   - MariaDB's own client replaying the script's statements, with a commit per statement and
//     in one transaction per table, and LOAD DATA LOCAL of the same rows: peers of the server
//     run.
// Prints rows/s, MB/s, CPU time per row and the peak resident memory of each (the raw read and
// the script file: the fastest of three runs), then the ratios the goals are stated in.
//
// Usage: bench_pontrel [rows]        tools/bench/pontrel/run.sh starts a MariaDB server for it
#include "raw_odbc.h"

#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_mysql_env.h"
#include "tools/bench/bench_rows_fixture.h"

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
    double cpu_seconds = 0; // user and system time of the process
    long peak_kib = 0;
    int exit_code = -1;
};

using bench::fixture_text;

// Runs `argv` as a child (standard input from `stdin_path` when given) and measures its wall
// time, CPU time and peak resident size.
measured run_child(const std::vector<std::string>& args, const std::string& stdout_path,
                   const std::string& stdin_path = std::string()) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (std::freopen(stdout_path.c_str(), "w", stdout) == nullptr ||
            (!stdin_path.empty() && std::freopen(stdin_path.c_str(), "r", stdin) == nullptr)) {
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
        m.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return m;
}

void print(const char* what, unsigned long rows, std::uint64_t bytes, const measured& m) {
    std::printf("%-48s %8.2f s %9.0f rows/s %7.1f MB/s %6.2f us CPU/row  peak %6.1f MB%s\n", what,
                m.seconds, rows / m.seconds, bytes / m.seconds / 1e6, m.cpu_seconds * 1e6 / rows,
                m.peak_kib / 1024.0, m.exit_code == 0 ? "" : "  (FAILED)");
}

void ratio(const char* what, double value, const char* goal) {
    std::printf("  %-62s %6.2f   %s\n", what, value, goal);
}

using bench::mysql_address;
using bench::mysql_from_env;

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

// Appends `value` as a field of LOAD DATA's default format: tab, newline and backslash escaped,
// NULL as \N.
void append_field(std::string& out, const char* value, unsigned long length) {
    if (value == nullptr) {
        out += "\\N";
        return;
    }
    for (unsigned long i = 0; i < length; ++i) {
        const char c = value[i];
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            out += c;
        }
    }
}

// Writes the rows of `table` into `path` in LOAD DATA's default format; false on failure.
bool export_rows(const mysql_address& a, const std::string& table, const std::string& path) {
    MYSQL mysql;
    mysql_init(&mysql);
    bool ok = false;
    if (mysql_real_connect(&mysql, a.host.c_str(), a.user.c_str(), a.password.c_str(), nullptr,
                           static_cast<unsigned>(std::stoul(a.port)), nullptr, 0) != nullptr &&
        mysql_set_character_set(&mysql, "utf8mb4") == 0 &&
        mysql_query(&mysql, ("SELECT * FROM " + table).c_str()) == 0) {
        if (MYSQL_RES* result = mysql_use_result(&mysql)) {
            std::ofstream out(path, std::ios::binary);
            const unsigned columns = mysql_num_fields(result);
            std::string line;
            while (MYSQL_ROW row = mysql_fetch_row(result)) {
                const unsigned long* lengths = mysql_fetch_lengths(result);
                line.clear();
                for (unsigned c = 0; c < columns; ++c) {
                    if (c > 0) {
                        line += '\t';
                    }
                    append_field(line, row[c], lengths[c]);
                }
                line += '\n';
                out << line;
            }
            ok = mysql_errno(&mysql) == 0 && out.good();
            mysql_free_result(result);
        }
    }
    if (!ok) {
        std::fprintf(stderr, "MariaDB: %s\n", mysql_error(&mysql));
    }
    mysql_close(&mysql);
    return ok;
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

    // Peer of the source side: the same rows through FreeTDS's ODBC driver alone, whole (login
    // included, as pontrel's time includes its own). Its CPU time is this thread's: the TDS test
    // server runs in this process.
    auto thread_cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    // The short runs are repeated and the fastest counts, so that other load on the machine
    // weighs less.
    constexpr int runs = 3;
    measured raw;
    raw_result read;
    for (int run = 0; run < runs; ++run) {
        const double cpu_before = thread_cpu();
        raw_result r =
            raw_odbc_read(server.odbc_connection_string("sa", "Velmora-Pw1", "velmora_bench"),
                          "SELECT * FROM dbo.rows_1m");
        const double cpu = thread_cpu() - cpu_before;
        const double seconds = r.login_seconds + r.read_seconds;
        const bool failed = !r.error.empty() || r.rows != rows;
        if (run == 0 || seconds < raw.seconds || failed) {
            raw.seconds = seconds;
            raw.cpu_seconds = cpu;
            raw.exit_code = r.error.empty() && r.rows == rows ? 0 : 1;
            read = std::move(r);
        }
        if (failed) {
            break;
        }
    }
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    raw.peak_kib = self.ru_maxrss;
    print("peer: rows read by ODBC alone (1,000-row arrays)", rows, read.bytes, raw);
    std::printf("  (of which the login %.2f s)\n", read.login_seconds);
    if (!read.error.empty()) {
        std::fprintf(stderr, "ODBC: %s\n", read.error.c_str());
    }

    // Into a script file.
    const std::string script = (work / "bench.sql").string();
    std::vector<std::string> args = source;
    args.push_back("--dump");
    args.push_back("--dest=" + script);
    measured dump;
    for (int run = 0; run < runs; ++run) {
        const measured m = run_child(args, log);
        if (run == 0 || m.seconds < dump.seconds || m.exit_code != 0) {
            dump = m;
        }
        if (m.exit_code != 0) {
            break;
        }
    }
    const std::uint64_t script_bytes =
        std::filesystem::exists(script) ? std::filesystem::file_size(script) : 0;
    print("pontrel into a script file", rows, script_bytes, dump);

    mysql_address mysql;
    if (!mysql_from_env(mysql)) {
        std::printf("\n(VELMORA_TEST_MYSQL is not set: no MariaDB runs; see run.sh)\n");
        ratio("script file time / raw read time", dump.seconds / raw.seconds, "goal <= 1.3");
        std::filesystem::remove_all(work);
        return 0;
    }
    const std::vector<std::string> client = {"mariadb",
                                             "--no-defaults",
                                             "--default-character-set=utf8mb4",
                                             "-h",
                                             mysql.host,
                                             "-P",
                                             mysql.port,
                                             "-u",
                                             mysql.user,
                                             "-p" + mysql.password};
    auto count_of = [&](const std::string& table) {
        const std::string arrived = mysql_value(mysql, "SELECT COUNT(*) FROM " + table);
        if (arrived != std::to_string(rows)) {
            std::printf("  rows in %s: %s (expected %lu)\n", table.c_str(), arrived.c_str(), rows);
        }
    };

    // Into the server. MB/s counts the script's size: the same statements travel.
    args = source;
    args.insert(args.end(),
                {"--dest=bench_pontrel", "--mysqlh=" + mysql.host, "--port=" + mysql.port,
                 "--mysqlu=" + mysql.user, "--mysqlp=" + mysql.password});
    const measured server_run = run_child(args, log);
    print("pontrel into MariaDB", rows, script_bytes, server_run);
    count_of("bench_pontrel.rows_1m");

    // Peers of the server run: MariaDB's own client replaying the script, a commit per statement
    // and then one transaction per table (the script's UNLOCK TABLES commits it).
    auto replay = [&](const char* what, const std::vector<std::string>& extra) {
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");
        mysql_value(mysql, "CREATE DATABASE bench_replay CHARACTER SET utf8mb4");
        std::vector<std::string> command = client;
        command.insert(command.end(), extra.begin(), extra.end());
        command.push_back("bench_replay");
        const measured m = run_child(command, log, script);
        print(what, rows, script_bytes, m);
        count_of("bench_replay.rows_1m");
        return m;
    };
    const measured per_statement = replay("peer: mariadb replays the script", {});
    const measured per_table = replay("peer: mariadb replays it, a transaction a table",
                                      {"--init-command=SET autocommit=0"});

    // Peer: LOAD DATA LOCAL of the same rows into an empty copy of the table.
    const std::string data = (work / "rows.tsv").string();
    measured load;
    if (export_rows(mysql, "bench_pontrel.rows_1m", data)) {
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_load");
        mysql_value(mysql, "CREATE DATABASE bench_load CHARACTER SET utf8mb4");
        mysql_value(mysql, "CREATE TABLE bench_load.rows_1m LIKE bench_pontrel.rows_1m");
        std::vector<std::string> command = client;
        command.insert(command.end(), {"--local-infile=1", "bench_load", "-e",
                                       "LOAD DATA LOCAL INFILE '" + data +
                                           "' INTO TABLE rows_1m CHARACTER SET utf8mb4"});
        load = run_child(command, log);
        print("peer: LOAD DATA LOCAL of the same rows", rows, std::filesystem::file_size(data),
              load);
        count_of("bench_load.rows_1m");
    }

    // Peers of the script file: mysqldump writing the same rows, in multi-row INSERTs (its
    // default) and one INSERT a row (as the script has them).
    auto mysqldump = [&](const char* what, const std::vector<std::string>& extra) {
        std::vector<std::string> command = client;
        command[0] = "mysqldump";
        command.insert(command.end(), extra.begin(), extra.end());
        command.insert(command.end(), {"bench_pontrel", "rows_1m"});
        const std::string out = (work / "mysqldump.sql").string();
        const measured m = run_child(command, out);
        print(what, rows, std::filesystem::exists(out) ? std::filesystem::file_size(out) : 0, m);
        return m;
    };
    const measured dumped = mysqldump("peer: mysqldump of the same rows", {});
    const measured dumped_rows =
        mysqldump("peer: mysqldump, one INSERT a row", {"--skip-extended-insert"});
    mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");
    mysql_value(mysql, "DROP DATABASE IF EXISTS bench_load");
    mysql_value(mysql, "DROP DATABASE IF EXISTS bench_pontrel");

    std::printf("\nratios\n");
    ratio("script file time / raw read time", dump.seconds / raw.seconds, "goal <= 1.3");
    ratio("script file time / mysqldump time (one INSERT a row)",
          dump.seconds / dumped_rows.seconds, "");
    ratio("script file time / mysqldump time (multi-row INSERTs)", dump.seconds / dumped.seconds,
          "");
    ratio("server rows/s / 4,200 rows/s (a commit per row, before batches)",
          rows / server_run.seconds / 4200.0, "goal >= 2");
    ratio("server run time / mariadb replay time, a commit per statement",
          server_run.seconds / per_statement.seconds, "");
    ratio("server run time / mariadb replay time, a transaction a table",
          server_run.seconds / per_table.seconds, "");
    if (load.seconds > 0) {
        ratio("server run time / LOAD DATA LOCAL time", server_run.seconds / load.seconds, "");
    }
    ratio("pontrel CPU per row (server run) / mariadb client CPU per row",
          server_run.cpu_seconds / per_statement.cpu_seconds, "goal <= 1");
    std::printf("  peak memory of the server run: %.1f MB (goal: flat in rows)\n",
                server_run.peak_kib / 1024.0);
    std::filesystem::remove_all(work);
    return 0;
}
