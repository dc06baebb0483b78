// pontrel on a table of a million rows (by default) of the TDS test server: into a script file
// and, when VELMORA_TEST_MYSQL names a MariaDB server, into that server. Each is measured in
// interleaved rounds beside its peers in the same run (A B A B ...):
//   - the script file beside the same rows read through FreeTDS's ODBC driver alone in 1,000-row
//     arrays (the floor of the source side), beside freebcp copying them out into a file, and
//     beside mysqldump writing the same rows from MariaDB (one INSERT a row, as the script);
//   - the server run beside MariaDB's own client replaying the script's statements in one
//     transaction per table (the same statements, the same commits).
// Prints, for each, the min and median of wall time and CPU time (user and system) over the
// rounds, the peak resident memory, and the min and median of the per-round ratios; the load
// of the machine (/proc/loadavg) before and after.
//
// Usage: bench_pontrel [rows] [rounds]   tools/bench/pontrel/run.sh starts a MariaDB server
#include "raw_odbc.h"

#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_child.h"
#include "tools/bench/bench_stats.h"
#include "tools/bench/bench_mysql_env.h"
#include "tools/bench/bench_rows_fixture.h"

#include <mysql.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::median_of;
using bench::min_of;

using measured = bench::child_run;
using bench::fixture_text;
using bench::run_child;

// The runs of one contender, one per round.
struct series {
    std::string what;
    std::vector<measured> runs;
    bool failed = false;

    void add(const measured& m) {
        runs.push_back(m);
        failed = failed || m.exit_code != 0;
    }
};

template <class F> std::vector<double> each(const series& s, F&& f) {
    std::vector<double> v;
    for (const measured& m : s.runs) {
        v.push_back(f(m));
    }
    return v;
}

void print(const series& s, unsigned long rows) {
    const std::vector<double> wall = each(s, [](const measured& m) { return m.seconds; });
    const std::vector<double> cpu = each(s, [](const measured& m) { return m.cpu_seconds; });
    const long peak = static_cast<long>(
        min_of(each(s, [](const measured& m) { return static_cast<double>(m.peak_kib); })));
    std::printf("%-50s %8.2f %8.2f s %9.0f rows/s %6.2f %6.2f us CPU/row  peak %6.1f MB%s\n",
                s.what.c_str(), min_of(wall), median_of(wall), rows / median_of(wall),
                min_of(cpu) * 1e6 / rows, median_of(cpu) * 1e6 / rows, peak / 1024.0,
                s.failed ? "  (FAILED)" : "");
}

// The per-round ratios of `a` to `b` (wall and CPU time), their min and median.
void ratio(const series& a, const series& b) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (std::size_t i = 0; i < std::min(a.runs.size(), b.runs.size()); ++i) {
        wall.push_back(a.runs[i].seconds / b.runs[i].seconds);
        cpu.push_back(a.runs[i].cpu_seconds / b.runs[i].cpu_seconds);
    }
    std::printf("  %-28s / %-48s time %5.2f %5.2f  CPU %5.2f %5.2f\n", a.what.c_str(),
                b.what.c_str(), min_of(wall), median_of(wall), min_of(cpu), median_of(cpu));
}

// The lines of a file: the rows freebcp wrote.
unsigned long lines_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned long lines = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lines;
    }
    return lines;
}

void print_load(const char* when) {
    std::ifstream in("/proc/loadavg");
    std::string load;
    std::getline(in, load);
    std::printf("load of the machine %s: %s (%u processors)\n", when, load.c_str(),
                static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
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

} // namespace

int main(int argc, char** argv) {
    const unsigned long rows = argc > 1 ? std::stoul(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::stoi(argv[2])) : 5;
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
    // freebcp finds the server through a configuration file of its own.
    const std::string freetds_conf = (work / "freetds.conf").string();
    std::ofstream(freetds_conf) << "[bench]\n\thost = 127.0.0.1\n\tport = " << server.port()
                                << "\n\ttds version = 7.4\n\tclient charset = UTF-8\n";
    setenv("FREETDSCONF", freetds_conf.c_str(), 1);
    std::printf("pontrel, %lu rows of dbo.rows_1m (int, nvarchar, decimal, datetime2, varchar, "
                "bit), %d interleaved rounds\n",
                rows, rounds);
    print_load("before");
    std::printf("\n%-50s %8s %8s   %9s        %6s %6s\n", "", "min", "median", "", "min", "median");

    // Peer of the source side: the same rows through FreeTDS's ODBC driver alone, whole (login
    // included, as pontrel's time includes its own). Its CPU time is this thread's: the TDS test
    // server runs in this process.
    auto thread_cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    auto raw_read = [&] {
        const double cpu_before = thread_cpu();
        raw_result r =
            raw_odbc_read(server.odbc_connection_string("sa", "Velmora-Pw1", "velmora_bench"),
                          "SELECT * FROM dbo.rows_1m");
        measured m;
        m.cpu_seconds = thread_cpu() - cpu_before;
        m.seconds = r.login_seconds + r.read_seconds;
        m.exit_code = r.error.empty() && r.rows == rows ? 0 : 1;
        if (!r.error.empty()) {
            std::fprintf(stderr, "ODBC: %s\n", r.error.c_str());
        }
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        m.peak_kib = self.ru_maxrss;
        return m;
    };
    const std::string script = (work / "bench.sql").string();
    std::vector<std::string> dump_args = source;
    dump_args.push_back("--dump");
    dump_args.push_back("--dest=" + script);
    const std::vector<std::string> freebcp = {"freebcp",
                                              "SELECT * FROM dbo.rows_1m",
                                              "queryout",
                                              (work / "freebcp.out").string(),
                                              "-c",
                                              "-S",
                                              "bench",
                                              "-U",
                                              "sa",
                                              "-P",
                                              "Velmora-Pw1",
                                              "-D",
                                              "velmora_bench",
                                              "-b",
                                              "1000"};

    series dump{"pontrel into a script file", {}, false};
    series raw{"peer: rows read by ODBC alone (1,000-row arrays)", {}, false};
    series bcp{"peer: freebcp queryout into a file", {}, false};
    for (int round = 0; round < rounds; ++round) {
        dump.add(run_child(dump_args, log));
        raw.add(raw_read());
        measured m = run_child(freebcp, log);
        if (lines_of(freebcp[3]) != rows) {
            m.exit_code = 1;
        }
        bcp.add(m);
    }
    const std::uint64_t script_bytes =
        std::filesystem::exists(script) ? std::filesystem::file_size(script) : 0;
    print(dump, rows);
    print(raw, rows);
    print(bcp, rows);
    std::printf("  (the script: %.1f MB)\n", script_bytes / 1e6);
    bool failed = dump.failed || raw.failed || bcp.failed;
    if (bcp.failed) {
        std::fprintf(stderr, "freebcp failed (is freetds-bin installed? tools/setup.sh): see %s\n",
                     log.c_str());
    }

    std::printf("\nratios (min and median of the per-round ratios)\n");
    ratio(dump, raw);
    ratio(dump, bcp);

    mysql_address mysql;
    if (!mysql_from_env(mysql)) {
        std::printf("\n(VELMORA_TEST_MYSQL is not set: no MariaDB runs; see run.sh)\n");
        print_load("after");
        std::filesystem::remove_all(work);
        return failed ? 1 : 0;
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
    auto count_is_rows = [&](const std::string& table) {
        const std::string arrived = mysql_value(mysql, "SELECT COUNT(*) FROM " + table);
        if (arrived == std::to_string(rows)) {
            return true;
        }
        std::printf("  rows in %s: %s (expected %lu)\n", table.c_str(), arrived.c_str(), rows);
        return false;
    };

    // Into the server, beside MariaDB's own client replaying the script's statements in one
    // transaction per table (the script's UNLOCK TABLES commits it): the same statements and
    // the same commits, sent by a plain client.
    std::vector<std::string> server_args = source;
    server_args.insert(server_args.end(),
                       {"--dest=bench_pontrel", "--mysqlh=" + mysql.host, "--port=" + mysql.port,
                        "--mysqlu=" + mysql.user, "--mysqlp=" + mysql.password});
    std::vector<std::string> replay_command = client;
    replay_command.insert(replay_command.end(),
                          {"--init-command=SET autocommit=0", "bench_replay"});
    series into_server{"pontrel into MariaDB", {}, false};
    series replay{"peer: mariadb replays it, a transaction a table", {}, false};
    for (int round = 0; round < rounds; ++round) {
        measured m = run_child(server_args, log);
        if (!count_is_rows("bench_pontrel.rows_1m")) {
            m.exit_code = 1;
        }
        into_server.add(m);
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");
        mysql_value(mysql, "CREATE DATABASE bench_replay CHARACTER SET utf8mb4");
        m = run_child(replay_command, log, script);
        if (!count_is_rows("bench_replay.rows_1m")) {
            m.exit_code = 1;
        }
        replay.add(m);
    }
    mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");

    // The script file beside mysqldump writing the same rows, one INSERT a row as the script.
    std::vector<std::string> mysqldump = client;
    mysqldump[0] = "mysqldump";
    mysqldump.insert(mysqldump.end(), {"--skip-extended-insert", "bench_pontrel", "rows_1m"});
    series dump_again{"pontrel into a script file", {}, false};
    series dumped{"peer: mysqldump, one INSERT a row", {}, false};
    for (int round = 0; round < rounds; ++round) {
        dump_again.add(run_child(dump_args, log));
        dumped.add(run_child(mysqldump, (work / "mysqldump.sql").string()));
    }
    mysql_value(mysql, "DROP DATABASE IF EXISTS bench_pontrel");

    std::printf("\n");
    print(into_server, rows);
    print(replay, rows);
    print(dump_again, rows);
    print(dumped, rows);
    std::printf("\nratios (min and median of the per-round ratios)\n");
    ratio(into_server, replay);
    ratio(dump_again, dumped);
    std::printf("  peak memory of the server run: %.1f MB (flat in rows)\n",
                into_server.runs.empty() ? 0.0 : into_server.runs.back().peak_kib / 1024.0);
    print_load("after");
    failed = failed || into_server.failed || replay.failed || dump_again.failed || dumped.failed;
    std::filesystem::remove_all(work);
    return failed ? 1 : 0;
}
