// Runs of pontrel that meet failures: catalogue statements of the source that fail, a schema
// filter naming no schema, merge into a table without a key, a connection killed mid-table, a
// table that is full, a stop request while the server does not answer.
// Each run is checked by its exit code and by what arrived in MariaDB.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

namespace {

using agent_test::mysql_client;
using agent_test::occurrences;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;
using agent_test::temp_dir;

constexpr int exit_failed = 255;

class PontrelFailures : public agent_test::tds_suite<PontrelFailures> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/faults.tds"};
    }

protected:
    // Each test its own database: ctest runs them side by side on one server.
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        dest = std::string("af_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        server->clear_faults();
        db.exec("DROP DATABASE IF EXISTS " + dest);
    }
    void TearDown() override {
        server->clear_faults();
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS " + dest);
        }
    }

    run_result run(std::vector<std::string> extra) {
        std::vector<std::string> all = args(std::move(extra));
        return run_pontrel(all, dir.path());
    }

    std::vector<std::string> args(std::vector<std::string> extra) {
        std::vector<std::string> all = {"--mssqlh=127.0.0.1," + std::to_string(server->port()),
                                        "--mssqlu=sa", "--mssqlp=Velmora-Pw1",
                                        "--src=velmora_faults", "--dest=" + dest};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    std::size_t count(const std::string& table) {
        const auto rows = db.query("SELECT COUNT(*) FROM " + dest + ".`" + table + "`");
        return rows.empty() ? 0 : std::stoul(*rows[0][0]);
    }

    // The keys MariaDB holds for the table: "PRIMARY", index names, foreign key names.
    std::vector<std::string> keys(const std::string& table) {
        std::vector<std::string> names;
        for (const row& r :
             db.query("SELECT constraint_name FROM "
                      "information_schema.table_constraints WHERE table_schema = '" +
                      dest + "' AND table_name = '" + table + "' ORDER BY constraint_name")) {
            names.push_back(*r[0]);
        }
        for (const row& r :
             db.query("SELECT DISTINCT index_name FROM information_schema.statistics "
                      "WHERE table_schema = '" +
                      dest + "' AND table_name = '" + table +
                      "' AND non_unique = 1 ORDER BY index_name")) {
            names.push_back(*r[0]);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A database the failed run must leave alone.
    void make_marker() {
        db.exec("CREATE DATABASE " + dest);
        db.exec("CREATE TABLE " + dest + ".marker (id INT)");
        db.exec("INSERT INTO " + dest + ".marker VALUES (7)");
    }
    void expect_marker_kept() {
        EXPECT_EQ(db.query("SELECT id FROM " + dest + ".marker"), std::vector<row>{{"7"}});
    }

    // The id of the run's connection once it waits in the trigger's sleep; empty after 10 s.
    std::string sleeping_connection() {
        for (int i = 0; i < 200; ++i) {
            const auto rows = db.query("SELECT id FROM information_schema.processlist WHERE "
                                       "state = 'User sleep' AND db = '" +
                                       dest + "' AND id <> CONNECTION_ID()");
            if (!rows.empty()) {
                return *rows[0][0];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

    std::string dest;
    mysql_client db;
};

tds_server_error server_error(const std::string& message) {
    return tds_server_error{229, 14, 5, message};
}

// A catalogue statement that fails costs its table only what the statement gives: the error
// names the table and what is missing, the rows arrive, the run ends with 255.
TEST_F(PontrelFailures, FailingCatalogueStatementsAreReportedAndRowsStillMove) {
    struct case_t {
        const char* statement;
        const char* error;
        const char* table;
        std::vector<std::string> keys; // what the table keeps
    };
    const case_t cases[] = {
        // The index list names the primary key too, so the key still arrives.
        {"WHERE i.is_primary_key = 1",
         "[dbo].[customers]: The primary key could not be read: ",
         "dbo.customers",
         {"IX_customers_name", "PRIMARY"}},
        {"i.type IN (1, 2)",
         "[dbo].[customers]: The indexes could not be read: ",
         "dbo.customers",
         {"PRIMARY"}},
        {"FROM sys.foreign_keys fk",
         "[dbo].[orders]: The foreign keys could not be read: ",
         "dbo.orders",
         {"PRIMARY"}},
        {"INFORMATION_SCHEMA.COLUMNS",
         "[dbo].[customers]: The declared column types could not be read: ",
         "dbo.customers",
         {"IX_customers_name", "PRIMARY"}},
        {"SYS.IDENTITY_COLUMNS",
         "[dbo].[customers]: The auto-increment start and step could not be read: ",
         "dbo.customers",
         {"IX_customers_name", "PRIMARY"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.statement);
        server->clear_faults();
        server->fail_statement(c.statement, server_error("denied on the catalogue"));
        db.exec("DROP DATABASE IF EXISTS " + dest);
        const run_result result = run({});
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_NE(result.out.find(c.error), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("denied on the catalogue"), std::string::npos) << result.out;
        EXPECT_EQ(count("dbo.customers"), 2u);
        EXPECT_EQ(count("dbo.orders"), 2u);
        EXPECT_EQ(count("dbo.stream"), 60u);
        EXPECT_EQ(keys(c.table), c.keys);
    }
}

TEST_F(PontrelFailures, TableListFallbackKeepsTheNames) {
    // The first query fails, the stored procedure lists the same tables under the same names.
    server->fail_statement("FROM sys.all_objects o", server_error("no schema rowset"));
    const run_result result = run({});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(count("dbo.customers"), 2u);
    EXPECT_EQ(count("dbo.notes"), 2u);
    EXPECT_EQ(db.query("SHOW TABLES FROM " + dest + " LIKE 'customers'"), std::vector<row>{});
}

// Errors found before the destination is touched: mode 0 would drop it.
TEST_F(PontrelFailures, UnreadableSourceStopsBeforeTheDestinationIsDropped) {
    struct case_t {
        const char* name;
        std::vector<std::pair<std::string, std::string>> failures;
        std::vector<std::string> extra;
        const char* error;
    };
    const case_t cases[] = {
        {"table list and its fallback",
         {{"FROM sys.all_objects o", "no schema rowset"}, {"exec sp_tables", "no procedure"}},
         {},
         "Error:\nThe list of tables of database 'velmora_faults' could not be read: "},
        {"schema absent", {}, {"--mschema=nowhere"}, "Error:\nThe schema 'nowhere' does not exist"},
        {"schema list unreadable",
         {{".sys.schemas", "no schema list"}},
         {"--mschema=dbo"},
         "Error:\nThe schemas of database 'velmora_faults' could not be read: "},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        server->clear_faults();
        for (const auto& [statement, message] : c.failures) {
            server->fail_statement(statement, server_error(message));
        }
        db.exec("DROP DATABASE IF EXISTS " + dest);
        make_marker();
        const run_result result = run(c.extra);
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_EQ(result.out.rfind(c.error, 0), 0u) << result.out;
        expect_marker_kept();
    }
}

// A schema without tables is a valid filter, but a run with nothing to convert is refused before
// the destination is prepared: mode 0 would drop the database, a script would stand empty.
TEST_F(PontrelFailures, RunWithNothingToConvertLeavesTheDestinationAlone) {
    const std::string script = dir.write("out.sql", "old script\n");
    const std::string error =
        "Error:\nThere is nothing to convert: database 'velmora_faults' has "
        "no table in the schema 'vacant', and no query or view is selected.\n";
    for (const bool to_script : {false, true}) {
        SCOPED_TRACE(to_script ? "script" : "server");
        db.exec("DROP DATABASE IF EXISTS " + dest);
        make_marker();
        std::vector<std::string> extra = {"--mschema=vacant"};
        if (to_script) {
            extra.insert(extra.end(), {"--dump", "--dest=" + script});
        }
        const run_result result = run(extra);
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_EQ(result.out, error);
        expect_marker_kept();
        EXPECT_EQ(agent_test::read_file(script), "old script\n");
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "out.sql" || name == "config" || name.rfind(".pontrel.", 0) == 0)
                << name << " was left";
        }
    }
}

// A table list (a file, a profile's selection) none of whose tables the source has selects
// nothing as well: the destination stays as it was, and each missing name is still said.
TEST_F(PontrelFailures, TableListOfMissingTablesLeavesTheDestinationAlone) {
    const std::string list = dir.write("tables.txt", "nosuch\ndbo.ghost\n");
    // A profile read last sets every setting it has: it names both servers itself.
    const std::string profile =
        dir.write("gone.vlm", profile_head(db.server) + "[Selected Tables]\ndbo.gone\n");
    const std::string script = dir.write("out.sql", "old script\n");
    struct case_t {
        std::vector<std::string> extra;
        const char* missing;
    };
    const case_t cases[] = {
        {{"--tab_file=" + list}, "Table nosuch not exists\nTable dbo.ghost not exists\n"},
        {{"--tab_file=" + list, "--dump", "--dest=" + script}, "Table dbo.ghost not exists\n"},
        {{"--profile=" + profile}, "Table [dbo].[gone] not exists\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.extra));
        db.exec("DROP DATABASE IF EXISTS " + dest);
        make_marker();
        const run_result result = run(c.extra);
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_NE(result.err.find(c.missing), std::string::npos) << result.err;
        EXPECT_NE(result.out.find("There is nothing to convert: no table listed is in database "
                                  "'velmora_faults', and no query or view is selected."),
                  std::string::npos)
            << result.out;
        expect_marker_kept();
        EXPECT_EQ(agent_test::read_file(script), "old script\n");
    }
}

// Merge and synchronize cannot match rows without a key: they append, and say so once.
TEST_F(PontrelFailures, MergeIntoATableWithoutKeyIsReportedOnce) {
    ASSERT_EQ(run({}).exit_code, 0);
    const char* const unmatched = "dbo.notes: The table has no primary key or unique index";
    std::size_t expected = 2;
    for (const char* mode : {"--mode=3", "--mode=4"}) {
        SCOPED_TRACE(mode);
        const run_result result = run({mode});
        expected += 2;
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_EQ(occurrences(result.out, "Error:"), 1u) << result.out;
        EXPECT_EQ(occurrences(result.out, unmatched), 1u) << result.out;
        EXPECT_EQ(count("dbo.notes"), expected);
        EXPECT_EQ(count("dbo.customers"), 2u);
        EXPECT_EQ(count("dbo.stream"), 60u);
    }
}

// A merge into a table whose columns are not the source's: every row would fail alike.
TEST_F(PontrelFailures, ColumnsThatDoNotMatchEndOnlyThatTable) {
    ASSERT_EQ(run({"--tab_def"}).exit_code, 0);
    db.exec("ALTER TABLE " + dest + ".`dbo.stream` RENAME COLUMN label TO tag");
    const std::string tables = dir.write("tables.txt", "dbo.stream\ndbo.customers\n");
    for (const char* mode : {"--mode=3", "--mode=4"}) {
        SCOPED_TRACE(mode);
        const run_result result = run({mode, "--tab_file=" + tables});
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_EQ(occurrences(result.out, "Error:"), 1u) << result.out;
        EXPECT_NE(result.out.find("dbo.stream: "), std::string::npos) << result.out;
        EXPECT_EQ(count("dbo.stream"), 0u);
    }
    EXPECT_EQ(count("dbo.customers"), 2u);
}

// The table dropped while its rows go in: one error for that table, which says the table is
// gone (not that rows are in it), and the run goes on.
TEST_F(PontrelFailures, VanishedTableEndsOnlyThatTable) {
    ASSERT_EQ(run({"--tab_def"}).exit_code, 0);
    db.exec("CREATE TRIGGER " + dest + ".hold BEFORE INSERT ON " + dest +
            ".`dbo.stream` FOR EACH ROW BEGIN IF NEW.id = 30 THEN DO SLEEP(1); END IF; END");
    const std::string tables = dir.write("tables.txt", "dbo.stream\ndbo.customers\n");
    auto running = std::async(std::launch::async, [&] {
        return run({"--mode=3", "--tab_file=" + tables});
    });
    ASSERT_FALSE(sleeping_connection().empty()) << "the run never reached row 30";
    // Waits for the row in the trigger, then the rows after it find no table.
    db.exec("DROP TABLE " + dest + ".`dbo.stream`");
    const run_result result = running.get();

    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_EQ(occurrences(result.out, "Error:"), 1u) << result.out;
    EXPECT_NE(result.out.find("dbo.stream: "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("The table is no longer in the destination database."),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("are in the table"), std::string::npos) << result.out;
    EXPECT_EQ(count("dbo.customers"), 2u);
}

// The whole destination dropped while a table's rows go in: no message claims rows are in a
// table that is gone.
TEST_F(PontrelFailures, DroppedDatabaseIsNotSaidToHoldRows) {
    ASSERT_EQ(run({"--tab_def"}).exit_code, 0);
    db.exec("CREATE TRIGGER " + dest + ".hold BEFORE INSERT ON " + dest +
            ".`dbo.stream` FOR EACH ROW BEGIN IF NEW.id = 30 THEN DO SLEEP(1); END IF; END");
    const std::string tables = dir.write("tables.txt", "dbo.stream\n");
    auto running = std::async(std::launch::async, [&] {
        return run({"--mode=3", "--tab_file=" + tables});
    });
    ASSERT_FALSE(sleeping_connection().empty()) << "the run never reached row 30";
    db.exec("DROP DATABASE " + dest);
    const run_result result = running.get();

    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("dbo.stream: "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("The table is no longer in the destination database."),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("are in the table"), std::string::npos) << result.out;
}

// The destination's connection killed while a table's rows go in: one error for that table,
// the rows before it kept, the run ended (no table after it), a short trace log.
TEST_F(PontrelFailures, KilledConnectionEndsTheRunWithOneError) {
    ASSERT_EQ(run({"--tab_def"}).exit_code, 0);
    // Row 30 waits in the trigger; the test kills the connection that waits.
    db.exec("CREATE TRIGGER " + dest + ".hold BEFORE INSERT ON " + dest +
            ".`dbo.stream` FOR EACH ROW BEGIN IF NEW.id = 30 THEN DO SLEEP(20); END IF; END");
    const std::string tables = dir.write("tables.txt", "dbo.stream\ndbo.customers\n");
    const std::string log = dir.file("trace.log");
    auto running = std::async(std::launch::async, [&] {
        return run({"--mode=3", "--tab_file=" + tables, "--logfile=" + log});
    });

    const std::string victim = sleeping_connection();
    ASSERT_FALSE(victim.empty()) << "the run never reached row 30";
    db.exec("KILL CONNECTION " + victim);
    const run_result result = running.get();

    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_EQ(occurrences(result.out, "Error:"), 1u) << result.out;
    EXPECT_NE(result.out.find("dbo.stream: The connection to the MySQL server is gone"),
              std::string::npos)
        << result.out;
    // The packet-size advice of "server gone" does not fit a killed connection.
    EXPECT_EQ(result.out.find("Transferred value is too big"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Converting table dbo.customers"), std::string::npos) << result.out;
    EXPECT_EQ(count("dbo.stream"), 29u);
    EXPECT_EQ(count("dbo.customers"), 0u);
    EXPECT_LT(std::filesystem::file_size(log), 1u << 20);
}

// A full table (here a MEMORY table with room for 10 more rows) refuses every later row alike:
// one error that says how far the table got, not one per row.
TEST_F(PontrelFailures, AFullTableEndsThatTableWithOneError) {
    ASSERT_EQ(run({"--tab_def"}).exit_code, 0);
    const std::string table = dest + ".`dbo.stream`";
    db.exec("ALTER TABLE " + table + " ENGINE=MEMORY MAX_ROWS=1");
    // Filled to the last row (the handler takes the error that ends the filling), then room
    // made for 10.
    db.exec("BEGIN NOT ATOMIC DECLARE CONTINUE HANDLER FOR 1114 BEGIN END; INSERT INTO " + table +
            " SELECT seq + 100000, 'filler' FROM " + dest + ".seq_1_to_100000; END");
    db.exec("DELETE FROM " + table + " ORDER BY id LIMIT 10");
    const std::string tables = dir.write("tables.txt", "dbo.stream\ndbo.customers\n");
    const run_result result = run({"--mode=3", "--tab_file=" + tables});

    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_EQ(occurrences(result.out, "Error:"), 1u) << result.out;
    EXPECT_NE(result.out.find("is full The rows up to record #10 are in the table; later ones "
                              "were not copied."),
              std::string::npos)
        << result.out;
    EXPECT_EQ(db.query("SELECT COUNT(*), MAX(id) FROM " + table + " WHERE id < 100000"),
              (std::vector<row>{{"10", "10"}}));
    // The next table is copied.
    EXPECT_EQ(count("dbo.customers"), 2u);
}

// A stop request while the server does not answer (row 30 waits in the server for a minute, as
// a stopped server would keep it waiting): the run ends within seconds with its stop message,
// and the rows not committed stay out.
TEST_F(PontrelFailures, AStopEndsTheRunWhileTheServerDoesNotAnswer) {
    ASSERT_EQ(run({"--tab_def"}).exit_code, 0);
    db.exec("CREATE TRIGGER " + dest + ".hold BEFORE INSERT ON " + dest +
            ".`dbo.stream` FOR EACH ROW BEGIN IF NEW.id = 30 THEN DO SLEEP(60); END IF; END");
    const std::string tables = dir.write("tables.txt", "dbo.stream\n");
    const agent_test::pontrel_process process =
        agent_test::start_pontrel(args({"--mode=3", "--tab_file=" + tables}), dir.path());
    const std::string waiting = sleeping_connection();
    if (waiting.empty()) {
        ::kill(process.pid, SIGKILL);
        agent_test::wait_pontrel(process);
        FAIL() << "the run never reached row 30";
    }
    const auto asked = std::chrono::steady_clock::now();
    ::kill(process.pid, SIGINT);
    const run_result result = agent_test::wait_pontrel(process);
    const auto took = std::chrono::steady_clock::now() - asked;
    // The server still sleeps for the statement whose client is gone; the test does not wait.
    if (!db.query("SELECT id FROM information_schema.processlist WHERE id = " + waiting).empty()) {
        db.exec("KILL CONNECTION " + waiting);
    }

    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.err.find("The conversion was interrupted (SIGINT)."), std::string::npos)
        << result.out << result.err;
    EXPECT_EQ(count("dbo.stream"), 29u);
}

} // namespace
