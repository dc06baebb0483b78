// pontrel on a table of a million rows (by default) of the TDS test server: into a script file
// and, when VELMORA_TEST_MYSQL names a MariaDB server, into that server. Each is measured in
// interleaved rounds beside its peers in the same run (A B A B ...), every contender a process
// of its own on the same processor, the servers on processors of their own:
//   - the script file beside the same rows read through FreeTDS's ODBC driver alone in 1,000-row
//     arrays and written as text into a file (the floor of the source side), beside freebcp
//     copying them out into a file, and beside mysqldump writing the same rows from MariaDB (one
//     INSERT a row, as the script);
//   - the server run beside MariaDB's own client replaying the script's statements in one
//     transaction per table (the same statements, the same commits).
// Every round's rows are counted (the script's INSERTs, the peers' lines, the server's rows). A
// round that fails or leaves another count fails the benchmark: its exit code and the end of
// its output are shown, and it stays out of every figure. Prints, for each contender, the min
// and median of wall time and CPU time (user and system) over the rounds, its highest peak
// resident memory, the min and median of the per-round ratios, and the load of the machine
// (/proc/loadavg) before and after.
//
// Usage: bench_pontrel [rows] [rounds]   tools/bench/pontrel/run.sh starts a MariaDB server
#include "tools/bench/bench_child.h"
#include "tools/bench/bench_mysql_env.h"
#include "tools/bench/bench_rows_fixture.h"
#include "tools/bench/bench_stats.h"
#include "tools/bench/bench_tds_process.h"

#include <mysql.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::child_run;
using bench::mysql_address;
using bench::series;

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

// Where a contender's output goes: a file of its own each round, kept when the round fails.
class outputs {
public:
    explicit outputs(std::filesystem::path dir) : dir_(std::move(dir)) {}
    std::string of(const std::string& what, int round) const {
        return (dir_ / (what + "-" + std::to_string(round + 1) + ".out")).string();
    }

private:
    std::filesystem::path dir_;
};

// "" when `counted` rows were expected, else what the round left.
std::string count_failure(const char* what, unsigned long counted, unsigned long rows) {
    if (counted == rows) {
        return {};
    }
    return std::string(what) + ": " + std::to_string(counted) + " rows, not " +
           std::to_string(rows);
}

} // namespace

int main(int argc, char** argv) {
    const unsigned long rows = argc > 1 ? std::stoul(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::stoi(argv[2])) : 5;
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("bench-pontrel-" + std::to_string(getpid()));
    std::filesystem::create_directories(work / "config");
    setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
    const outputs out(work);
    const bench::pinning pin = bench::pinning::of_machine();
    const std::string pontrel = bench::companion("pontrel", PONTREL_PATH);
    const std::string raw_reader = bench::companion("bench_raw_read", RAW_READ_PATH);

    const std::string fixture = (work / "rows.tds").string();
    std::ofstream(fixture) << bench::fixture_text(rows);
    // BENCH_TDS_SERVER_OPTION, one option of the TDS test server (e.g. "--drop=TEXT=ROWS"),
    // makes a round fail on purpose: the benchmark's own test.
    std::vector<std::string> server_options;
    if (const char* option = std::getenv("BENCH_TDS_SERVER_OPTION"); option != nullptr) {
        const std::string text = option;
        const auto eq = text.find('=');
        server_options = {text.substr(0, eq), text.substr(eq + 1)};
    }
    const bench::tds_process server(bench::companion("tds_server_main", TDS_SERVER_MAIN),
                                    work.string(), {fixture}, pin.tds_server, server_options);
    const int port = server.port();
    if (port == 0) {
        std::fprintf(stderr, "FAILED: the TDS test server did not start\n");
        return 1;
    }
    // Not --silent: pontrel says a line a table, and its errors, which a failed round shows.
    const std::vector<std::string> source = {pontrel,
                                             "--mssqlh=127.0.0.1," + std::to_string(port),
                                             "--mssqlu=sa",
                                             "--mssqlp=Velmora-Pw1",
                                             "--src=velmora_bench",
                                             "--mschema=dbo"};
    // freebcp finds the server through a configuration file of its own.
    const std::string freetds_conf = (work / "freetds.conf").string();
    std::ofstream(freetds_conf) << "[bench]\n\thost = 127.0.0.1\n\tport = " << port
                                << "\n\ttds version = 7.4\n\tclient charset = UTF-8\n";
    setenv("FREETDSCONF", freetds_conf.c_str(), 1);
    std::printf("pontrel, %lu rows of dbo.rows_1m (int, nvarchar, decimal, datetime2, varchar, "
                "bit), %d interleaved rounds\n%s\n",
                rows, rounds, pin.said().c_str());
    bench::print_load("before");
    std::printf("\n%-50s %8s %8s   %9s        %6s %6s\n", "", "min", "median", "", "min", "median");

    const std::string script = (work / "bench.sql").string();
    std::vector<std::string> dump_args = source;
    dump_args.push_back("--dump");
    dump_args.push_back("--dest=" + script);
    const std::string raw_file = (work / "raw.txt").string();
    const std::vector<std::string> raw_args = {raw_reader,
                                               server.odbc_connection_string("velmora_bench"),
                                               "SELECT * FROM dbo.rows_1m", raw_file};
    const std::string bcp_file = (work / "freebcp.txt").string();
    const std::vector<std::string> freebcp = {"freebcp",
                                              "SELECT * FROM dbo.rows_1m",
                                              "queryout",
                                              bcp_file,
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

    // A script run: pontrel's exit code and the script's INSERTs, one a row. The script is
    // removed after, unless `keep_as` names where it goes.
    auto run_dump = [&](series& s, int round, const std::string& keep_as = {}) {
        const std::string log = out.of("script", round);
        const child_run m = bench::run_child(dump_args, log, {}, true, pin.contender);
        s.add(m, count_failure("the script", bench::lines_starting(script, "INSERT INTO"), rows),
              log);
        if (keep_as.empty()) {
            std::filesystem::remove(script);
        } else {
            std::filesystem::rename(script, keep_as);
        }
    };
    series dump("pontrel into a script file");
    series raw("peer: ODBC alone, 1,000-row arrays, text to a file");
    series bcp("peer: freebcp queryout into a file");
    for (int round = 0; round < rounds; ++round) {
        run_dump(dump, round);
        std::string log = out.of("raw", round);
        child_run m = bench::run_child(raw_args, log, {}, true, pin.contender);
        raw.add(m, count_failure("the file", bench::lines_starting(raw_file, ""), rows), log);
        log = out.of("freebcp", round);
        m = bench::run_child(freebcp, log, {}, true, pin.contender);
        bcp.add(m, count_failure("the file", bench::lines_starting(bcp_file, ""), rows), log);
    }
    bench::print_series(dump, rows);
    bench::print_series(raw, rows);
    bench::print_series(bcp, rows);
    std::printf("\nratios (min and median of the per-round ratios)\n");
    bench::print_ratio(dump, raw);
    bench::print_ratio(dump, bcp);
    std::vector<const series*> all = {&dump, &raw, &bcp};

    mysql_address mysql;
    const bool with_mysql = bench::mysql_from_env(mysql);
    series into_server("pontrel into MariaDB");
    series replay("peer: mariadb replays it, a transaction a table");
    series dump_again("pontrel into a script file");
    series dumped("peer: mysqldump, one INSERT a row");
    series made("pontrel writing the script to replay");
    if (!with_mysql) {
        std::printf("\n(VELMORA_TEST_MYSQL is not set: no MariaDB runs; see run.sh)\n");
    } else {
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
        auto rows_in = [&](const std::string& table) {
            const std::string n = mysql_value(mysql, "SELECT COUNT(*) FROM " + table);
            return n.empty() ? 0UL : std::stoul(n);
        };
        // Into the server, beside MariaDB's own client replaying the script's statements in
        // one transaction per table (the script's UNLOCK TABLES commits it): the same
        // statements and the same commits, sent by a plain client.
        std::vector<std::string> server_args = source;
        server_args.insert(server_args.end(), {"--dest=bench_pontrel", "--mysqlh=" + mysql.host,
                                               "--port=" + mysql.port, "--mysqlu=" + mysql.user,
                                               "--mysqlp=" + mysql.password});
        std::vector<std::string> replay_command = client;
        replay_command.insert(replay_command.end(),
                              {"--init-command=SET autocommit=0", "bench_replay"});
        // The script the client replays, from a run of its own that no figure counts.
        const std::string replayed = (work / "replayed.sql").string();
        run_dump(made, 0, replayed);
        all.push_back(&made);
        for (int round = 0; round < rounds; ++round) {
            std::string log = out.of("server", round);
            child_run m = bench::run_child(server_args, log, {}, true, pin.contender);
            into_server.add(m, count_failure("the table", rows_in("bench_pontrel.rows_1m"), rows),
                            log);
            mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");
            mysql_value(mysql, "CREATE DATABASE bench_replay CHARACTER SET utf8mb4");
            log = out.of("replay", round);
            m = bench::run_child(replay_command, log, replayed, true, pin.contender);
            replay.add(m, count_failure("the table", rows_in("bench_replay.rows_1m"), rows), log);
        }
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_replay");

        // The script file beside mysqldump writing the same rows, one INSERT a row as the
        // script.
        std::vector<std::string> mysqldump = client;
        mysqldump[0] = "mysqldump";
        mysqldump.insert(mysqldump.end(), {"--skip-extended-insert", "bench_pontrel", "rows_1m"});
        const std::string dumped_file = (work / "mysqldump.sql").string();
        for (int round = 0; round < rounds; ++round) {
            run_dump(dump_again, round);
            const std::string log = out.of("mysqldump", round);
            const child_run m = bench::run_child(mysqldump, dumped_file, {}, false, pin.contender);
            dumped.add(m,
                       count_failure("its output",
                                     bench::lines_starting(dumped_file, "INSERT INTO"), rows),
                       dumped_file);
        }
        mysql_value(mysql, "DROP DATABASE IF EXISTS bench_pontrel");

        std::printf("\n");
        bench::print_series(into_server, rows);
        bench::print_series(replay, rows);
        bench::print_series(dump_again, rows);
        bench::print_series(dumped, rows);
        std::printf("\nratios (min and median of the per-round ratios)\n");
        bench::print_ratio(into_server, replay);
        bench::print_ratio(dump_again, dumped);
        all.insert(all.end(), {&into_server, &replay, &dump_again, &dumped});
    }
    bench::print_load("after");
    bool failed = false;
    for (const series* s : all) {
        s->print_failures();
        failed = failed || s->failed();
    }
    std::filesystem::remove_all(work);
    if (failed) {
        std::fprintf(stderr, "the benchmark failed: its figures leave the failed rounds out\n");
        return 1;
    }
    return 0;
}
