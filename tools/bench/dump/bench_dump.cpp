// Benchmark of the MySQL script file: a million mixed rows written as a script, one INSERT per
// row and in multi-row INSERTs, beside mysqldump of the same rows from the MariaDB test server
// (with and without its multi-row INSERTs), in interleaved rounds of the same run (the script
// writer in this process, mysqldump a child on the same processor). Every output's rows are
// counted; a failed or short round fails the benchmark and stays out of the figures. Prints the
// min and median of wall and CPU time, rows/s and MB/s, the per-round ratios of each script to
// mysqldump writing the same kind of INSERTs, the peak memory after a tenth of the rows and
// after all of them, and the load of the machine. Run on demand:
//   tools/bench/dump/run.sh [rows] [rounds]
#include "SQL/sql_dmprs.h"
#include "SQL/sql_dump.h"
#include "SQL/sql_engi.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "tools/bench/bench_child.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_stats.h"

#include <mysql.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench_clock = std::chrono::steady_clock;

struct server {
    std::string host = "127.0.0.1";
    std::string port;
    std::string user;
    std::string password;
};

bool read_server(server& s) {
    const char* env = std::getenv("VELMORA_TEST_MYSQL");
    if (env == nullptr) {
        return false;
    }
    std::map<std::string, std::string> values;
    std::string text = env;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        const std::string item = text.substr(start, end - start);
        const std::size_t eq = item.find('=');
        if (eq != std::string::npos) {
            values[item.substr(0, eq)] = item.substr(eq + 1);
        }
        start = end + 1;
    }
    s.host = values["host"];
    s.port = values["port"];
    s.user = values["user"];
    s.password = values["password"];
    return !s.host.empty() && !s.port.empty();
}

long long file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The row i of the benchmark table, as the server builds it from the sequence below.
void fill_row(udb_record& record, long long i) {
    auto& id = *record[0];
    id.clear();
    id.var.vt = VT_I4;
    id.var.lVal = static_cast<int32_t>(i);

    auto& name = *record[1];
    const std::string text = "name " + std::to_string(i) + " O'Brien \\ x";
    name.attach_u16string(std::u16string(text.begin(), text.end()));

    auto& amount = *record[2];
    amount.clear();
    amount.var.vt = VT_CY;
    amount.var.cyVal.int64 = i * 12345 % 100000000;

    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(2000 + i % 20);
    t.wMonth = static_cast<WORD>(1 + i % 12);
    t.wDay = static_cast<WORD>(1 + i % 28);
    t.wHour = static_cast<WORD>(i % 24);
    t.wMinute = static_cast<WORD>(i % 60);
    t.wSecond = static_cast<WORD>(i % 60);
    t.wMilliseconds = static_cast<WORD>(i % 1000);
    ole_date date(t);
    date.kind = ole_date::kind_date_time;
    static_cast<ole_variant&>(*record[3]) = ole_variant(date);

    static_cast<ole_variant&>(*record[4]) = ole_variant(i % 2 == 0);

    std::vector<uint8_t> bytes(16);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        bytes[k] = static_cast<uint8_t>(i * 31);
    }
    static_cast<ole_variant&>(*record[5]) = ole_variant(bytes);

    auto& note = *record[6];
    if (i % 5 == 0) {
        note.clear();
    } else {
        note.attach_u16string(u"note \u00e9\u4e2d\U0001F600 text of a row");
    }
}

// The rows of an output: each row's name starts with this text, whatever the INSERT's form.
unsigned long rows_in(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string mark = "'name ";
    unsigned long count = 0;
    std::string line;
    while (std::getline(in, line)) {
        for (std::size_t at = line.find(mark); at != std::string::npos;
             at = line.find(mark, at + mark.size())) {
            ++count;
        }
    }
    return count;
}

double self_cpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return bench::cpu_of(usage);
}

// Writes the rows through the script file in this process; its time, CPU time and peak memory
// (the peak after a tenth of the rows into `tenth_kib`).
bench::child_run write_script(const std::string& path, long long rows, bool fast, long& tenth_kib) {
    sql_engine& engine = *tk_singleton<sql_engine>::instance();
    dump_options options;
    options.comments = false;
    auto column = [](const wchar_t* name, VARTYPE vt, int32_t size, int32_t subtype = 0,
                     int32_t scale = 0) {
        auto c = std::make_shared<t_ftd>(size, name, vt, false, false, ole_variant(), subtype, L"");
        c->scale = scale;
        return c;
    };
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    schema.push_back(column(L"name", VT_BSTR, 100));
    schema.push_back(column(L"amount", VT_CY, 8));
    schema.push_back(column(L"created", VT_DATE, 8, 1, 3));
    schema.push_back(column(L"flag", VT_BOOL, 2));
    schema.push_back(column(L"data", ole_variant::vt_byte_array, 64));
    schema.push_back(column(L"note", VT_BSTR, 0));

    udb_record record;
    for (const auto& c : schema) {
        record.push_back(std::make_unique<udb_field>(c->name, 0, ole_variant(), false, false));
    }
    bench::reset_peak();
    const double cpu = self_cpu();
    const auto begin = bench_clock::now();
    bench::child_run m;
    try {
        dmp_database db(std::wstring(path.begin(), path.end()), options);
        engine.fast_insert = fast;
        {
            auto table = db.create_table(L"bench", schema, {});
            for (long long i = 1; i <= rows; ++i) {
                fill_row(record, i);
                table->append_record(record);
                if (i == rows / 10) {
                    tenth_kib = bench::peak_kib();
                }
            }
        }
        db.close();
        m.exit_code = 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "the script: %s\n", e.what());
        m.exit_code = 1;
    }
    m.seconds = std::chrono::duration<double>(bench_clock::now() - begin).count();
    m.cpu_seconds = self_cpu() - cpu;
    m.peak_kib = bench::peak_kib();
    return m;
}

bool run_sql(MYSQL* mysql, const std::string& statement) {
    if (mysql_real_query(mysql, statement.data(), statement.size()) != 0) {
        std::fprintf(stderr, "%s: %s\n", statement.c_str(), mysql_error(mysql));
        return false;
    }
    if (MYSQL_RES* result = mysql_store_result(mysql)) {
        mysql_free_result(result);
    }
    return true;
}

// The same rows on the server, built from MariaDB's sequence table.
bool fill_server(const server& s, long long rows) {
    MYSQL mysql;
    mysql_init(&mysql);
    mysql_options(&mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (mysql_real_connect(&mysql, s.host.c_str(), s.user.c_str(), s.password.c_str(), nullptr,
                           static_cast<unsigned>(std::atoi(s.port.c_str())), nullptr,
                           0) == nullptr) {
        std::fprintf(stderr, "connect: %s\n", mysql_error(&mysql));
        return false;
    }
    const std::string n = std::to_string(rows);
    const bool ok =
        run_sql(&mysql, "DROP DATABASE IF EXISTS bench_dump") &&
        run_sql(&mysql, "CREATE DATABASE bench_dump CHARACTER SET utf8mb4") &&
        run_sql(&mysql, "CREATE TABLE bench_dump.bench (id INT NOT NULL PRIMARY KEY, name "
                        "VARCHAR(100), amount DECIMAL(19,4), created DATETIME(3), flag "
                        "TINYINT(1), data VARBINARY(64), note LONGTEXT) ENGINE=InnoDB") &&
        run_sql(&mysql,
                "INSERT INTO bench_dump.bench SELECT seq, CONCAT('name ', seq, ' O''Brien \\\\ "
                "x'), (seq * 12345 % 100000000) / 10000, TIMESTAMP(MAKEDATE(2000 + seq % 20, "
                "1 + seq % 28)) + INTERVAL seq % 24 HOUR + INTERVAL (seq % 1000) * 1000 "
                "MICROSECOND, seq % 2 = 0, UNHEX(REPEAT(LPAD(HEX(seq * 31 % 256), 2, '0'), "
                "16)), IF(seq % 5 = 0, NULL, 'note \u00e9\u4e2d\U0001F600 text of a row') FROM "
                "bench_dump.seq_1_to_" +
                    n);
    mysql_close(&mysql);
    return ok;
}

// mysqldump of the server's rows into `path`, on `processor`.
bench::child_run run_mysqldump(const server& s, const std::string& path, bool extended,
                               int processor) {
    setenv("MYSQL_PWD", s.password.c_str(), 1);
    return bench::run_child({"mysqldump", "--no-defaults", "--protocol=TCP", "--host=" + s.host,
                             "--port=" + s.port, "--user=" + s.user,
                             extended ? "--extended-insert" : "--skip-extended-insert",
                             "bench_dump", "bench"},
                            path, {}, false, processor);
}

} // namespace

int main(int argc, char** argv) {
    const long long rows = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    server s;
    if (!read_server(s)) {
        std::fprintf(stderr, "VELMORA_TEST_MYSQL is not set (tools/bench/dump/run.sh)\n");
        return 1;
    }
    char dir[] = "/tmp/bench-dump-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const std::string base = dir;
    const bench::pinning pin = bench::pinning::of_machine();
    bench::pin_to(pin.contender);
    std::printf("%lld mixed rows (int, varchar, decimal, datetime(3), bool, varbinary, "
                "nullable text), %d interleaved rounds\n%s\n",
                rows, rounds, pin.said().c_str());
    bench::print_load("before");
    if (!fill_server(s, rows)) {
        std::fprintf(stderr, "FAILED: the rows could not be made on the MariaDB server\n");
        return 1;
    }

    sql_engine engine;
    bench::series slow("script file, one INSERT per row");
    bench::series fast("script file, multi-row INSERTs");
    bench::series single("peer: mysqldump --skip-extended-insert");
    bench::series extended("peer: mysqldump (multi-row INSERTs)");
    long tenth_kib = 0;
    // A round's output: its rows counted, its size kept for MB/s, the file removed.
    std::vector<double> megabytes(4);
    auto add = [&](bench::series& to, std::size_t which, const bench::child_run& m,
                   const std::string& path) {
        const unsigned long counted = rows_in(path);
        to.add(m,
               counted == static_cast<unsigned long>(rows)
                   ? std::string()
                   : std::to_string(counted) + " rows in the output, not " + std::to_string(rows),
               path);
        megabytes[which] = file_size(path) / 1e6;
        std::remove(path.c_str());
    };
    for (int round = 0; round < rounds; ++round) {
        std::string path = base + "/slow.sql";
        add(slow, 0, write_script(path, rows, false, tenth_kib), path);
        path = base + "/mysqldump-single.sql";
        add(single, 2, run_mysqldump(s, path, false, pin.contender), path);
        path = base + "/fast.sql";
        long fast_tenth_kib = 0; // the memory figures are the one-INSERT-a-row writer's
        add(fast, 1, write_script(path, rows, true, fast_tenth_kib), path);
        path = base + "/mysqldump-extended.sql";
        add(extended, 3, run_mysqldump(s, path, true, pin.contender), path);
    }
    std::printf("\n%-50s %8s %8s   %9s        %6s %6s\n", "", "min", "median", "", "min", "median");
    const std::vector<const bench::series*> all = {&slow, &fast, &single, &extended};
    for (std::size_t i = 0; i < all.size(); ++i) {
        bench::print_series(*all[i], static_cast<double>(rows));
        const std::vector<double> wall =
            all[i]->of_good([](const bench::child_run& m) { return m.seconds; });
        if (!wall.empty()) {
            std::printf("%-50s %.1f MB, %.1f MB/s (median)\n", "", megabytes[i],
                        megabytes[i] / bench::median_of(wall));
        }
    }
    std::printf("script writer's peak resident memory (one INSERT per row, last round): %.1f MB "
                "after %lld rows, %.1f MB after %lld\n",
                tenth_kib / 1024.0, rows / 10,
                slow.rounds.empty() ? 0.0 : slow.rounds.back().m.peak_kib / 1024.0, rows);
    std::printf("\nratios (min and median of the per-round ratios)\n");
    bench::print_ratio(slow, single);
    bench::print_ratio(fast, extended);
    bench::print_load("after");
    bool failed = false;
    for (const bench::series* s : all) {
        s->print_failures();
        failed = failed || s->failed();
    }
    rmdir(dir);
    return failed ? 1 : 0;
}
