// Benchmark of row insertion into the MariaDB test server, in one run:
//   - the MySQL table's one-row INSERT path (one statement per row), beside a minimal client of
//     the C library that sends the same statements, built with snprintf, over the same kind of
//     connection (TCP to 127.0.0.1);
//   - the table's multi-row path (the engine's fast_insert switch on), beside LOAD DATA LOCAL
//     INFILE of the same rows.
// Prints rows/s and the client's CPU time per row (user + system of this process) for each.
// Run on demand:
//   env=$(tools/mysql-test-server.sh start /tmp/bench-mysql)
//   VELMORA_TEST_MYSQL="$env" build/tools/bench/mysql_insert/bench_mysql_insert [rows]
//   tools/mysql-test-server.sh stop /tmp/bench-mysql
#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_tab.h"
#include "TK/tk_utils.h"
#include "UDB/udb_field.h"

#include <mysql.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench_clock = std::chrono::steady_clock;

struct server {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
};

bool read_server(server& s) {
    const char* env = std::getenv("VELMORA_TEST_MYSQL");
    if (env == nullptr) {
        return false;
    }
    std::map<std::string, std::string> values;
    const std::string text = env;
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
    s.port = std::atoi(values["port"].c_str());
    s.user = values["user"];
    s.password = values["password"];
    return !s.host.empty() && s.port != 0;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct measure {
    bench_clock::time_point wall = bench_clock::now();
    double cpu = cpu_seconds();
};

void report(const char* what, long long rows, const measure& from) {
    const double wall = std::chrono::duration<double>(bench_clock::now() - from.wall).count();
    const double cpu = cpu_seconds() - from.cpu;
    std::printf("%-44s %9lld rows %8.2f s %10.0f rows/s %7.2f us CPU/row\n", what, rows, wall,
                static_cast<double>(rows) / wall, cpu * 1e6 / static_cast<double>(rows));
    std::fflush(stdout);
}

void must(MYSQL* mysql, const std::string& statement) {
    if (mysql_real_query(mysql, statement.data(), statement.size()) != 0) {
        std::fprintf(stderr, "%s: %s\n", statement.c_str(), mysql_error(mysql));
        std::exit(1);
    }
    if (MYSQL_RES* result = mysql_store_result(mysql)) {
        mysql_free_result(result);
    }
}

// Every path must have written every row.
void check_rows(MYSQL* mysql, long long rows) {
    if (mysql_real_query(mysql, "SELECT COUNT(*) FROM t", 22) != 0) {
        std::fprintf(stderr, "count: %s\n", mysql_error(mysql));
        std::exit(1);
    }
    MYSQL_RES* result = mysql_store_result(mysql);
    MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr;
    const long long count = row != nullptr && row[0] != nullptr ? std::atoll(row[0]) : -1;
    if (result != nullptr) {
        mysql_free_result(result);
    }
    if (count != rows) {
        std::fprintf(stderr, "expected %lld rows, the table holds %lld\n", rows, count);
        std::exit(1);
    }
}

// The values of one row, shared by every path: a pool of texts and dates, the id varies.
constexpr int pool_size = 1000;

struct row_values {
    std::string name; // UTF-8, no character that needs escaping
    std::string note; // UTF-8 with a quote that needs escaping
    std::string created;
    long long amount;
};

std::vector<row_values> make_pool() {
    std::vector<row_values> pool;
    for (int i = 0; i < pool_size; ++i) {
        row_values v;
        v.name = "name " + std::to_string(i) + " \xC3\xA9\xE4\xB8\xAD";
        v.note = "note of row " + std::to_string(i) + ", O'Brien";
        char date[32];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + i % 20, 1 + i % 12,
                      1 + i % 28, i % 24, i % 60, (i * 7) % 60);
        v.created = date;
        v.amount = static_cast<long long>(i) * 12345;
        pool.push_back(v);
    }
    return pool;
}

// Records of the pool as the source hands them over; only the id changes per row.
std::vector<std::unique_ptr<udb_record>> make_records(const std::vector<row_values>& pool) {
    std::vector<std::unique_ptr<udb_record>> records;
    for (const row_values& v : pool) {
        auto r = std::make_unique<udb_record>();
        r->push_back(std::make_unique<udb_field>(L"id", 4, ole_variant::from_string("0", VT_I4),
                                                 false, false));
        const std::wstring name = tk_utf8_to_wstring(v.name);
        r->push_back(std::make_unique<udb_field>(L"name", static_cast<std::uint32_t>(name.size()),
                                                 ole_variant(name), false, false));
        r->push_back(std::make_unique<udb_field>(
            L"amount", 8, ole_variant::from_string(std::to_string(v.amount), VT_I8), false, false));
        r->push_back(std::make_unique<udb_field>(
            L"created", 8, ole_variant::from_string(v.created, VT_DATE), false, false));
        const std::wstring note = tk_utf8_to_wstring(v.note);
        r->push_back(std::make_unique<udb_field>(L"note", static_cast<std::uint32_t>(note.size()),
                                                 ole_variant(note), false, false));
        records.push_back(std::move(r));
    }
    return records;
}

void set_id(udb_record& record, long long id) {
    record[0]->var.lVal = static_cast<LONG>(id);
}

// The statement of one row as a plain client writes it.
int plain_statement(char* out, std::size_t size, long long id, const row_values& v,
                    const std::string& escaped_note) {
    return std::snprintf(out, size,
                         "INSERT INTO `t`(`id`, `name`, `amount`, `created`, `note`) VALUES "
                         "(%lld, '%s', %lld, '%s.000000', '%s')",
                         id, v.name.c_str(), v.amount, v.created.c_str(), escaped_note.c_str());
}

MYSQL* plain_connect(const server& s, const char* db, bool local_infile) {
    MYSQL* mysql = mysql_init(nullptr);
    if (local_infile) {
        unsigned int on = 1;
        mysql_options(mysql, MYSQL_OPT_LOCAL_INFILE, &on);
    }
    if (mysql_real_connect(mysql, s.host.c_str(), s.user.c_str(), s.password.c_str(), db,
                           static_cast<unsigned>(s.port), nullptr,
                           CLIENT_REMEMBER_OPTIONS) == nullptr) {
        std::fprintf(stderr, "connect: %s\n", mysql_error(mysql));
        std::exit(1);
    }
    must(mysql, "SET NAMES utf8mb4");
    return mysql;
}

} // namespace

int main(int argc, char** argv) {
    server s;
    if (!read_server(s)) {
        std::fprintf(stderr, "VELMORA_TEST_MYSQL is not set\n");
        return 1;
    }
    const long long rows = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const char* db_name = "bench_mysql_insert";

    sql_engine engine;
    engine.connect(s.host, s.user, s.password, s.port);
    MYSQL* mysql = engine.connection();
    must(mysql, std::string("DROP DATABASE IF EXISTS ") + db_name);
    must(mysql, std::string("CREATE DATABASE ") + db_name + " CHARACTER SET utf8mb4");
    must(mysql, std::string("USE ") + db_name);
    const char* create = "CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(40), amount BIGINT,"
                         " created DATETIME(6), note VARCHAR(60)) ENGINE=InnoDB";
    must(mysql, create);

    const std::vector<row_values> pool = make_pool();
    std::vector<std::unique_ptr<udb_record>> records = make_records(pool);
    std::vector<std::string> escaped_notes;
    for (const row_values& v : pool) {
        std::string e;
        for (const char c : v.note) {
            if (c == '\'' || c == '\\') {
                e += '\\';
            }
            e += c;
        }
        escaped_notes.push_back(e);
    }
    std::unique_ptr<udb_database> db = engine.open_db(tk_utf8_to_wstring(db_name), 2);

    std::printf("%lld rows, MariaDB %s over TCP %s:%d\n", rows, engine.server_info.c_str(),
                s.host.c_str(), s.port);

    // One statement per row through the MySQL table.
    engine.fast_insert = false;
    {
        std::unique_ptr<udb_recordset> table = db->get_table(L"t", 2);
        const measure m;
        for (long long i = 0; i < rows; ++i) {
            udb_record& r = *records[static_cast<std::size_t>(i % pool_size)];
            set_id(r, i);
            table->append_record(r);
        }
        report("MySQL table, one-row INSERT", rows, m);
    }
    check_rows(mysql, rows);
    must(mysql, "TRUNCATE TABLE t");

    // The same statements from a minimal C client.
    {
        MYSQL* plain = plain_connect(s, db_name, false);
        char statement[512];
        const measure m;
        for (long long i = 0; i < rows; ++i) {
            const std::size_t k = static_cast<std::size_t>(i % pool_size);
            const int n =
                plain_statement(statement, sizeof statement, i, pool[k], escaped_notes[k]);
            if (mysql_real_query(plain, statement, static_cast<unsigned long>(n)) != 0) {
                std::fprintf(stderr, "%s\n", mysql_error(plain));
                return 1;
            }
        }
        report("C client, the same one-row INSERTs", rows, m);
        mysql_close(plain);
    }
    check_rows(mysql, rows);
    must(mysql, "TRUNCATE TABLE t");

    // The multi-row path.
    engine.fast_insert = true;
    {
        const measure m;
        {
            std::unique_ptr<udb_recordset> table = db->get_table(L"t", 2);
            for (long long i = 0; i < rows; ++i) {
                udb_record& r = *records[static_cast<std::size_t>(i % pool_size)];
                set_id(r, i);
                table->append_record(r);
            }
        }
        report("MySQL table, multi-row INSERT", rows, m);
    }
    check_rows(mysql, rows);
    must(mysql, "TRUNCATE TABLE t");

    // LOAD DATA of the same rows (writing the file counts).
    {
        char path[] = "/tmp/bench_mysql_insert_XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) {
            std::perror("mkstemp");
            return 1;
        }
        const measure m;
        FILE* file = fdopen(fd, "w");
        for (long long i = 0; i < rows; ++i) {
            const row_values& v = pool[static_cast<std::size_t>(i % pool_size)];
            std::fprintf(file, "%lld\t%s\t%lld\t%s.000000\t%s\n", i, v.name.c_str(), v.amount,
                         v.created.c_str(), v.note.c_str());
        }
        std::fclose(file);
        MYSQL* plain = plain_connect(s, db_name, true);
        must(plain, std::string("LOAD DATA LOCAL INFILE '") + path +
                        "' INTO TABLE t CHARACTER SET utf8mb4 (id, name, amount, created, note)");
        report("C client, LOAD DATA LOCAL INFILE", rows, m);
        mysql_close(plain);
        unlink(path);
    }
    check_rows(mysql, rows);
    must(mysql, std::string("DROP DATABASE ") + db_name);
    return 0;
}
