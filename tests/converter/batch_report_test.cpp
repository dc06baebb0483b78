// A run that ends inside a commit batch (Abort, a report that ends the process, a stop request)
// while the batch cannot be committed: the user learns how far the table surely got, once, and
// MariaDB holds exactly those rows.
#include "tests/converter/converter_test_support.h"

#include "platform/tds/tds_provider.h"
#include "SQL/sql_engi.h"
#include "TK/tk_stop.h"
#include "tests/support/mysql_test_env.h"
#include "tests/support/tds_server/tds_server.h"

#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

using converter_test::scripted_ui;
using converter_test::settings_home;

namespace {

// The kept failure as shown: the table, the lost connection (the client library's words vary
// with the moment it noticed), and how far the table surely got.
const char* const lost_prefix = "stream: The connection to the MySQL server is gone: ";
const char* const committed_note =
    "The rows up to record #2000 are in the table; later ones may be missing.";

// Whether `shown` is the kept failure, once, followed by `after`.
testing::AssertionResult shows_kept_failure(const std::vector<std::string>& shown,
                                            const std::vector<std::string>& after) {
    const std::string note(committed_note);
    if (shown.size() != 1 + after.size() || shown[0].rfind(lost_prefix, 0) != 0 ||
        shown[0].size() < note.size() ||
        shown[0].compare(shown[0].size() - note.size(), note.size(), note) != 0 ||
        !std::equal(after.begin(), after.end(), shown.begin() + 1)) {
        testing::AssertionResult failure = testing::AssertionFailure();
        for (const std::string& text : shown) {
            failure << "[" << text << "] ";
        }
        return failure;
    }
    return testing::AssertionSuccess();
}

// A client of the MariaDB test server of the test's own.
class client {
public:
    client() {
        const test_support::mysql_test_server s = test_support::mysql_server_from_env();
        mysql_init(&mysql_);
        connected = !s.host.empty() &&
                    mysql_real_connect(&mysql_, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                                       nullptr, s.port, nullptr, 0) != nullptr;
    }
    ~client() { mysql_close(&mysql_); }
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    bool exec(const std::string& statement) {
        return mysql_real_query(&mysql_, statement.data(), statement.size()) == 0;
    }
    // The first value of the statement's first row; empty when there is none.
    std::string value(const std::string& statement) {
        std::string out;
        if (!exec(statement)) {
            return "error: " + std::string(mysql_error(&mysql_));
        }
        if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
            if (MYSQL_ROW r = mysql_fetch_row(result); r != nullptr && r[0] != nullptr) {
                out = r[0];
            }
            mysql_free_result(result);
        }
        return out;
    }
    // Kills a connection and waits until the server no longer lists it, so that its next
    // statement surely fails.
    void kill(unsigned long id) {
        exec("KILL CONNECTION " + std::to_string(id));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (
            !value("SELECT id FROM information_schema.processlist WHERE id = " + std::to_string(id))
                 .empty() &&
            std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    bool connected = false;

private:
    MYSQL mysql_{};
};

// An error handler whose every report first loses the run's connection: the commit made before
// the report is the statement that finds it gone.
class losing_handler : public error_handler {
public:
    losing_handler() : error_handler(err_map_oledb_size, err_map_oledb) {
        load_err_map(err_map_mysql_size, err_map_mysql);
    }
    void handle(const tk_exception& error, bool top_level) override {
        if (run != nullptr && !killed) {
            killed = true;
            client().kill(mysql_thread_id(run->connection()));
        }
        error_handler::handle(error, top_level);
    }

    // The run's engine: its connection as it is at the report (the run may have connected anew).
    sql_engine* run = nullptr;
    bool killed = false;
};

// A front end that ends the process after every report, telling the parent of a death test
// what it was shown.
class ending_ui : public scripted_ui {
public:
    bool ends_process(int) const override { return true; }
    void error_narrow(const std::string& text) override {
        std::fprintf(stderr, "NARROW: %s\n", text.c_str());
    }
};

template <typename Handler, typename Ui> struct run_env {
    run_env() : logger(nullptr, false, 3, false) {}
    tk_logger logger;
    Handler handler;
    Ui ui;
    settings_home home;
};

using ending_env = run_env<losing_handler, ending_ui>;

class batch_report : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tds_provider_registered);
        ASSERT_TRUE(db.connected);
        // One database per test: the tests may run side by side against the one server.
        dest = "drv_batch_" +
               std::string(testing::UnitTest::GetInstance()->current_test_info()->name())
                   .substr(0, 20);
        db.exec("DROP DATABASE IF EXISTS " + dest);
    }
    void TearDown() override {
        if (server) {
            server->stop();
        }
        db.exec("DROP DATABASE IF EXISTS " + dest);
        tk_clear_stop();
    }

    // The source reads rows in blocks of 100: the run waits for the block after `held_after`
    // for 10 s, long enough for a machine loaded by the whole suite to act in between.
    void start_source(std::uint64_t held_after) {
        server = std::make_unique<tds_server>(
            std::vector<std::string>{std::string(DRIVER_FIXTURE_DIR) + "/batch.tds"});
        server->pause_after_rows("SELECT * FROM [dbo].[stream]", held_after,
                                 std::chrono::milliseconds(10000));
        server->start();
    }

    std::unique_ptr<velmora_convertor> converter() {
        const test_support::mysql_test_server mysql = test_support::mysql_server_from_env();
        auto c = converter_test::source_converter(server->port(), L"velmora_batch");
        c->direct = true;
        c->dest = tk_utf8_to_wstring(dest);
        c->store_mysql_settings(mysql.host, mysql.user, mysql.password, std::to_string(mysql.port));
        c->connect_mysql_server();
        c->selected_tables = {L"stream"};
        c->check_dest();
        return c;
    }

    // Once the run has made the table, takes record 2100's key, so that the row is refused
    // (reported) after the batch since record 2000 was opened.
    std::thread take_row_2100() {
        return std::thread([table = dest + ".stream"] {
            client other;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (std::chrono::steady_clock::now() < deadline &&
                   !other.exec("INSERT INTO " + table + " (id, label) VALUES (2100, 'taken')")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }

    // The run's rows: count and highest key, the row taken by the test left out.
    std::string run_rows() {
        return db.value("SELECT CONCAT(COUNT(*), ' up to ', MAX(id)) FROM " + dest +
                        ".stream WHERE id <> 2100");
    }

    client db;
    std::string dest;
    std::unique_ptr<tds_server> server;
};

TEST_F(batch_report, AbortAfterAFailedCommitBeforeTheQuestionSaysHowFarTheTableGot) {
    start_source(2050);
    run_env<losing_handler, scripted_ui> env;
    env.ui.abort_at_question = 1;
    auto c = converter();
    env.handler.run = c->sql.get();
    std::thread taker = take_row_2100();
    (*c)();
    taker.join();

    ASSERT_EQ(env.ui.questions.size(), 1u);
    EXPECT_NE(env.ui.questions[0].find(L"stream, record #2100"), std::wstring::npos);
    EXPECT_TRUE(shows_kept_failure(env.ui.narrow_errors, {}));
    EXPECT_EQ(c->records_done.load(), 2000u);
    EXPECT_EQ(run_rows(), "2000 up to 2000");
}

// Continue after the failed commit: the next step finds the failure, and the table's error (the
// run's last question) says how far the table got; nothing is said twice.
TEST_F(batch_report, ContinueAfterAFailedCommitBeforeTheQuestionEndsTheTableOnce) {
    start_source(2050);
    run_env<losing_handler, scripted_ui> env;
    auto c = converter();
    env.handler.run = c->sql.get();
    std::thread taker = take_row_2100();
    (*c)();
    taker.join();

    ASSERT_EQ(env.ui.questions.size(), 2u);
    EXPECT_NE(env.ui.questions[0].find(L"stream, record #2100"), std::wstring::npos);
    const std::string table_error = tk_to_utf8(env.ui.questions[1]);
    EXPECT_EQ(table_error.rfind(lost_prefix, 0), 0u) << table_error;
    EXPECT_NE(table_error.find(committed_note), std::string::npos) << table_error;
    EXPECT_TRUE(env.ui.narrow_errors.empty()) << env.ui.narrow_errors.front();
    EXPECT_EQ(c->records_done.load(), 2000u);
    EXPECT_EQ(run_rows(), "2000 up to 2000");
}

TEST_F(batch_report, AReportThatEndsTheProcessFirstSaysHowFarTheTableGot) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    start_source(2050);
    EXPECT_EXIT(
        {
            ending_env env;
            auto c = converter();
            env.handler.run = c->sql.get();
            std::thread taker = take_row_2100();
            taker.detach();
            (*c)();
        },
        testing::ExitedWithCode(255),
        std::string("NARROW: ") + lost_prefix + ".*The rows up to record #2000 are in the table");
    EXPECT_EQ(run_rows(), "2000 up to 2000");
}

// A stop request while rows wait uncommitted, their connection gone: the stop's COMMIT fails.
TEST_F(batch_report, AStopWhoseCommitFailsSaysHowFarTheTableGot) {
    start_source(2100);
    run_env<losing_handler, scripted_ui> env;
    auto c = converter();
    std::thread stopper([dest = dest] {
        client other;
        // The source holds the rows after 2100 back: the run waits with the 100 rows since its
        // commit at record 2000 uncommitted, which only a dirty read sees. (No polling of
        // InnoDB's transaction table: readers side by side keep it from being refreshed.)
        other.exec("SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (other.value("SELECT COUNT(*) FROM " + dest + ".stream") != "2100" &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // The run's connection is known by the database it writes into.
        const std::string run_id =
            other.value("SELECT id FROM information_schema.processlist WHERE db = '" + dest + "'");
        ASSERT_FALSE(run_id.empty()) << "the run never waited with an open batch";
        other.kill(std::stoul(run_id));
        tk_request_stop(SIGINT);
    });
    (*c)();
    stopper.join();

    EXPECT_TRUE(env.ui.questions.empty());
    EXPECT_TRUE(
        shows_kept_failure(env.ui.narrow_errors, {"The conversion was interrupted (SIGINT)."}));
    EXPECT_EQ(c->records_done.load(), 2000u);
    EXPECT_EQ(run_rows(), "2000 up to 2000");
}

} // namespace
