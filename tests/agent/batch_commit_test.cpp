// A server run commits a table's rows in batches. When a batch is lost (the connection killed,
// the server rolling the transaction back) the table ends with an error that says how far the
// table is surely committed, and MariaDB holds exactly those rows.
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <thread>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_result;

constexpr int exit_failed = 255;
// The source holds the rows back after this one for 10 s, so that another client can take a
// row the run will insert after the commit that follows record 2000 (long enough for a machine
// loaded by the whole suite to see that commit first).
constexpr std::uint64_t held_after = 2050;
const char* const committed_note = "The rows up to record #2000 are in the table";

class BatchCommit : public agent_test::tds_suite<BatchCommit> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/batch.tds"};
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        // Short: a database name holds at most 64 characters.
        dest = "batch_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name())
                              .substr(0, 20);
        server->clear_faults();
        db.exec("DROP DATABASE IF EXISTS " + dest);
    }
    void TearDown() override {
        server->clear_faults();
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS " + dest);
            db.exec("DROP DATABASE IF EXISTS " + dest + "_w");
        }
    }

    std::vector<std::string> run_args() {
        std::vector<std::string> args = {
            "--mssqlh=" + mssql_host(), "--mssqlu=sa",   "--mssqlp=Velmora-Pw1",
            "--src=velmora_batch",      "--mschema=dbo", "--dest=" + dest};
        for (const std::string& a : db.pontrel_args()) {
            args.push_back(a);
        }
        return args;
    }

    std::future<run_result> start_run() {
        server->pause_after_rows("SELECT * FROM [dbo].[stream]", held_after,
                                 std::chrono::milliseconds(10000));
        return std::async(std::launch::async, [args = run_args(), this] {
            return agent_test::run_pontrel(args, dir.path());
        });
    }

    // Starts the run (after `begin_other` opened the transaction of `other`), takes row 2200 in
    // that transaction once the run has committed its first batch, and returns the run's
    // connection once it waits for that row, its batch since record 2000 open. A machine too
    // busy to see that commit within the source's hold lets the run end normally: the scenario
    // is then set up once more. Empty when it never comes about, with the runs' output in `why`.
    std::string run_waiting_with_open_batch(mysql_client& other, std::future<run_result>& running,
                                            const std::function<void()>& begin_other,
                                            std::string& why) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            db.exec("DROP DATABASE IF EXISTS " + dest);
            begin_other();
            running = start_run();
            const std::string victim = find_waiting_run(other);
            if (!victim.empty()) {
                return victim;
            }
            other.exec("ROLLBACK");
            const run_result r = running.get();
            why += r.out + r.err;
        }
        return {};
    }

    std::string find_waiting_run(mysql_client& other) {
        bool taken = false;
        // The uncommitted rows since record 2000 are seen only by a dirty read. (InnoDB's
        // transaction table is not polled: it is refreshed only for a reader that waited 0.1 s,
        // and tests polling it side by side keep it stale.)
        mysql_client dirty;
        if (!dirty.connected()) {
            return {};
        }
        dirty.exec("SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
        // Generous: a loaded machine (the whole suite in parallel) can slow the run a lot.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!taken && stream_exists() && stream_rows() == "2000 up to 2000") {
                other.exec("INSERT INTO " + dest + ".stream (id, label) VALUES (2200, 'taken')");
                taken = true;
            }
            // Rows 2001 to 2199 sent and the run's INSERT of row 2200 waiting for the row taken.
            // Other tests share the server: only a run writing into this test's database counts.
            const auto sent =
                taken ? dirty.query("SELECT COUNT(*) FROM " + dest + ".stream WHERE id < 2200")
                      : std::vector<row>{};
            if (!sent.empty() && sent[0][0] == "2199") {
                const auto found =
                    db.query("SELECT id FROM information_schema.processlist WHERE db = '" + dest +
                             "' AND command = 'Query' AND info LIKE 'INSERT%'");
                if (!found.empty()) {
                    return *found[0][0];
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

    bool stream_exists() {
        return !db.query("SELECT 1 FROM information_schema.tables WHERE table_schema = '" + dest +
                         "' AND table_name = 'stream'")
                    .empty();
    }

    std::string stream_rows() {
        const auto rows = db.query("SELECT COUNT(*), MAX(id) FROM " + dest + ".stream");
        return rows.empty() ? std::string() : *rows[0][0] + " up to " + rows[0][1].value_or("-");
    }

    mysql_client db;
    std::string dest;
};

TEST_F(BatchCommit, AKilledConnectionLeavesTheCommittedRowsAndSaysSo) {
    mysql_client other;
    ASSERT_TRUE(other.connected());
    std::future<run_result> running;
    std::string why;
    const std::string victim = run_waiting_with_open_batch(
        other, running, [&] { other.exec("START TRANSACTION"); }, why);
    ASSERT_FALSE(victim.empty()) << "the run never waited with an open batch: " << why;
    db.exec("KILL CONNECTION " + victim);
    other.exec("ROLLBACK");
    const run_result result = running.get();

    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("The connection to the MySQL server is gone"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(committed_note), std::string::npos) << result.out;
    EXPECT_EQ(stream_rows(), "2000 up to 2000");
}

// A deadlock makes the server roll back the whole open transaction, not only the statement:
// the rows sent since the last commit are gone, and the table ends saying so.
TEST_F(BatchCommit, ATransactionTheServerRolledBackEndsTheTableAtTheLastCommit) {
    db.exec("CREATE DATABASE " + dest + "_w");
    db.exec("CREATE TABLE " + dest + "_w.weight (n INT PRIMARY KEY) ENGINE=InnoDB");
    // A transaction heavier than the run's, so that the deadlock's victim is the run.
    mysql_client other;
    ASSERT_TRUE(other.connected());
    std::future<run_result> running;
    std::string why;
    const std::string victim = run_waiting_with_open_batch(
        other, running,
        [&] {
            other.exec("START TRANSACTION");
            other.exec("INSERT INTO " + dest + "_w.weight SELECT seq FROM " + dest +
                       "_w.seq_1_to_20000");
        },
        why);
    ASSERT_FALSE(victim.empty()) << "the run never waited with an open batch: " << why;
    // Waits for a row the run holds while the run waits for the row taken: a deadlock.
    const auto held = other.query("SELECT id FROM " + dest + ".stream WHERE id = 2050 FOR UPDATE");
    other.exec("ROLLBACK");
    const run_result result = running.get();

    EXPECT_TRUE(held.empty()) << "the run's uncommitted row outlived its rollback";
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("The server rolled back the transaction"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(committed_note), std::string::npos) << result.out;
    EXPECT_EQ(stream_rows(), "2000 up to 2000");
}

// A stop request while rows wait uncommitted and their connection is gone: the COMMIT made on
// the stop fails, and the user learns how far the table got as well as that the run stopped.
TEST_F(BatchCommit, AStopWhoseCommitFailsSaysHowFarTheTableGot) {
    // The source sends rows in blocks of 100: held after record 2100, the run waits for the
    // next block with the 100 rows since the commit at record 2000 uncommitted.
    server->pause_after_rows("SELECT * FROM [dbo].[stream]", 2100,
                             std::chrono::milliseconds(10000));
    const auto process = agent_test::start_pontrel(run_args(), dir.path());
    // The 100 rows since the commit at record 2000 are seen only by a dirty read. (No polling
    // of InnoDB's transaction table: readers side by side keep it from being refreshed.)
    mysql_client dirty;
    ASSERT_TRUE(dirty.connected());
    dirty.exec("SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
    std::string victim;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (victim.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!stream_exists()) {
            continue;
        }
        const auto count = dirty.query("SELECT COUNT(*) FROM " + dest + ".stream");
        if (count.empty() || *count[0][0] != "2100") {
            continue;
        }
        // The run's connection is known by the database it writes into.
        const auto found =
            db.query("SELECT id FROM information_schema.processlist WHERE db = '" + dest + "'");
        if (!found.empty()) {
            victim = *found[0][0];
        }
    }
    if (!victim.empty()) {
        db.exec("KILL CONNECTION " + victim);
        // Gone before the stop is asked for, so that the stop's COMMIT finds it gone.
        while (!db.query("SELECT id FROM information_schema.processlist WHERE id = " + victim)
                    .empty() &&
               std::chrono::steady_clock::now() < deadline + std::chrono::seconds(30)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    kill(process.pid, SIGINT);
    const run_result result = agent_test::wait_pontrel(process);
    ASSERT_FALSE(victim.empty()) << "the run never waited with an open batch: " << result.out
                                 << result.err;

    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    const std::size_t note = result.err.find(committed_note);
    EXPECT_NE(note, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(committed_note, note + 1), std::string::npos) << "said twice";
    EXPECT_NE(result.err.find("interrupted (SIGINT)"), std::string::npos) << result.err;
    EXPECT_EQ(stream_rows(), "2000 up to 2000");
}

} // namespace
