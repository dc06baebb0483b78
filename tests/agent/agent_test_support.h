// Runs the built pontrel program as a user would, and reads what it left in MariaDB.
#pragma once

#include "tests/support/mysql_test_env.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace agent_test {

struct run_result {
    int exit_code = -1; // as the shell shows it: 255 for an exit with -1
    std::string out;
    std::string err;
};

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `bytes` as they are into the folder's file `name` and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);

// How often `part` stands in `text`, overlapping ones counted: a message said once or per item.
std::size_t occurrences(const std::string& text, const std::string& part);

// One field of a profile's [Type Mappings] that gives `column` the type `type` (its name kept),
// as the wizard writes it under a table's "fields:".
struct mapped_field {
    std::string column;
    std::string type;
    int length = 0;
    int precision = 0;
    int scale = 0;
    std::string default_value;
};
std::string type_mapping_field(const mapped_field& field);

// Runs pontrel with `args` in `work_dir`, its settings (the registry file) under
// `work_dir`/config. The child gets the C.UTF-8 locale unless `env` sets LC_ALL or another
// variable ("NAME=value") of its own.
run_result run_pontrel(const std::vector<std::string>& args, const std::string& work_dir,
                       const std::vector<std::string>& env = {});

// A pontrel process started by start_pontrel and not yet waited for.
struct pontrel_process {
    int pid = -1;
    std::string work_dir;
};

// Starts pontrel as run_pontrel does and returns at once. `file_size_limit` (bytes, 0: none)
// becomes the child's RLIMIT_FSIZE.
pontrel_process start_pontrel(const std::vector<std::string>& args, const std::string& work_dir,
                              const std::vector<std::string>& env = {},
                              unsigned long file_size_limit = 0);
// Waits for the process and gathers what it wrote.
run_result wait_pontrel(const pontrel_process& process);

using row = std::vector<std::optional<std::string>>;

// A profile query over dbo.customers that hides a statement from one of its readers (comments
// SQL Server nests and FreeTDS's driver does not, escapes the driver rewrites, USE outside
// OPTION (...)), and the one text the source may receive for it: empty when it is refused.
struct hidden_statement_query {
    const char* text;
    const char* sent;
};
extern const hidden_statement_query hidden_statement_queries[7];

// What is wrong with the statement log of a run of `query` (a text of the test server's
// statements() taken while the query ran): a refused query must not reach the source; an
// accepted one reaches it as its `sent` text, which the server reads as one statement. Empty
// when all holds.
std::string query_arrival_fault(const std::vector<std::string>& log,
                                const hidden_statement_query& query);

// A connection to the MariaDB test server.
class mysql_client {
public:
    mysql_client();
    ~mysql_client();
    mysql_client(const mysql_client&) = delete;
    mysql_client& operator=(const mysql_client&) = delete;

    bool connected() const { return connected_; }
    // Runs a statement; fails the test with the server's message when refused.
    void exec(const std::string& statement);
    // Every row of a SELECT, values as the server sends their text; NULL as nullopt.
    std::vector<row> query(const std::string& statement);
    // The arguments that reach this server: host, port, user and password options.
    std::vector<std::string> pontrel_args() const;

    test_support::mysql_test_server server;

private:
    MYSQL mysql_{};
    bool connected_ = false;
};

// A suite whose tests share one TDS test server serving `Suite::fixture_files()`, started
// before the suite's first test and stopped after its last, and a folder of each test's own.
template <class Suite> class tds_suite : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<tds_server>(Suite::fixture_files());
        server->start();
    }
    static void TearDownTestSuite() { server.reset(); }

    static std::string mssql_host() { return "127.0.0.1," + std::to_string(server->port()); }
    // The head of a profile that reaches `mysql` and this suite's source as sa.
    static std::string profile_head(const test_support::mysql_test_server& mysql) {
        return "[MySQL settings]\nhost=" + mysql.host + "\nuser=" + mysql.user +
               "\npassword=" + mysql.password + "\nport=" + std::to_string(mysql.port) +
               "\n[MS SQL Server settings]\nserver=" + mssql_host() +
               "\nlogin=sa\npassword=Velmora-Pw1\nwindows authentication=0\n";
    }

    inline static std::unique_ptr<tds_server> server;
    temp_dir dir;
};

} // namespace agent_test
