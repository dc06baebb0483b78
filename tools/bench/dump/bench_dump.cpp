// Benchmark of the MySQL script file: a million mixed rows written as a script, one INSERT per
// row and in multi-row INSERTs, beside mysqldump of the same rows from the MariaDB test server
// (with and without its multi-row INSERTs), measured in the same run. Prints MB/s and rows/s
// and the peak memory after a tenth of the rows and after all of them. Run on demand:
//   env=$(tools/mysql-test-server.sh start /tmp/bench-mysql)
//   VELMORA_TEST_MYSQL="$env" build/tools/bench/dump/bench_dump [rows]
//   tools/mysql-test-server.sh stop /tmp/bench-mysql
#include "SQL/sql_dmprs.h"
#include "SQL/sql_dump.h"
#include "SQL/sql_engi.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"

#include <mysql.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

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

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long long file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void report(const char* what, long long rows, long long bytes, double seconds) {
    std::printf("%-44s %8.2f s %10.0f rows/s %8.1f MB/s (%lld bytes)\n", what, seconds,
                static_cast<double>(rows) / seconds, static_cast<double>(bytes) / 1e6 / seconds,
                bytes);
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

// Writes the rows through the script file; its time, bytes and the peak memory at a tenth.
void write_script(const std::string& path, long long rows, bool fast, const char* label) {
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
    long tenth_rss = 0;
    const auto begin = bench_clock::now();
    {
        dmp_database db(std::wstring(path.begin(), path.end()), options);
        engine.fast_insert = fast;
        {
            auto table = db.create_table(L"bench", schema, {});
            for (long long i = 1; i <= rows; ++i) {
                fill_row(record, i);
                table->append_record(record);
                if (i == rows / 10) {
                    tenth_rss = peak_rss_kib();
                }
            }
        }
        db.close();
    }
    const double seconds = std::chrono::duration<double>(bench_clock::now() - begin).count();
    report(label, rows, file_size(path), seconds);
    std::printf("%-44s peak RSS %ld KiB after %lld rows, %ld KiB after %lld rows\n", "", tenth_rss,
                rows / 10, peak_rss_kib(), rows);
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

// mysqldump of the server's rows into `path`: its time and bytes.
void run_mysqldump(const server& s, const std::string& path, long long rows, bool extended,
                   const char* label) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {"mysqldump",
                                     "--no-defaults",
                                     "--protocol=TCP",
                                     "--host=" + s.host,
                                     "--port=" + s.port,
                                     "--user=" + s.user,
                                     extended ? "--extended-insert" : "--skip-extended-insert",
                                     "bench_dump",
                                     "bench"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = {"MYSQL_PWD=" + s.password};
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    const auto begin = bench_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "mysqldump", &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::fprintf(stderr, "cannot start mysqldump\n");
        return;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(bench_clock::now() - begin).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "mysqldump failed\n");
        return;
    }
    report(label, rows, file_size(path), seconds);
}

} // namespace

int main(int argc, char** argv) {
    const long long rows = argc > 1 ? std::atoll(argv[1]) : 1000000;
    server s;
    if (!read_server(s)) {
        std::fprintf(stderr, "VELMORA_TEST_MYSQL is not set (tools/mysql-test-server.sh start)\n");
        return 1;
    }
    char dir[] = "/tmp/bench-dump-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const std::string base = dir;
    std::printf("%lld mixed rows (int, varchar, decimal, datetime(3), bool, varbinary, "
                "nullable text)\n",
                rows);

    sql_engine engine;
    write_script(base + "/slow.sql", rows, false, "script file, one INSERT per row");
    write_script(base + "/fast.sql", rows, true, "script file, multi-row INSERTs");

    if (fill_server(s, rows)) {
        run_mysqldump(s, base + "/mysqldump-single.sql", rows, false,
                      "mysqldump --skip-extended-insert");
        run_mysqldump(s, base + "/mysqldump-extended.sql", rows, true,
                      "mysqldump (multi-row INSERTs)");
    }
    for (const char* name :
         {"slow.sql", "fast.sql", "mysqldump-single.sql", "mysqldump-extended.sql"}) {
        std::remove((base + "/" + name).c_str());
    }
    rmdir(dir);
    return 0;
}
