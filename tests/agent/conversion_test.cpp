// Whole runs of pontrel from the TDS test server into the MariaDB test server and into script
// files: progress and error output, exit codes, and the rows that arrive.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"
#include "tests/support/turkish_locale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

using agent_test::mysql_client;
using agent_test::read_file;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;
using agent_test::temp_dir;

constexpr int exit_failed = 255;

class PontrelRun : public agent_test::tds_suite<PontrelRun> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/agent.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    // The databases a test made go with it: a later suite on the same server starts clean.
    void TearDown() override {
        if (db.connected()) {
            for (const std::string& database : used_) {
                db.exec("DROP DATABASE IF EXISTS `" + database + "`");
            }
        }
    }

    // The source options, the MySQL options and `extra`.
    std::vector<std::string> args(std::vector<std::string> extra) const {
        std::vector<std::string> all = {"--mssqlh=" + mssql_host(), "--mssqlu=sa",
                                        "--mssqlp=Velmora-Pw1", "--src=velmora_agent"};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    run_result run(std::vector<std::string> extra, const std::vector<std::string>& env = {}) {
        return run_pontrel(args(std::move(extra)), dir.path(), env);
    }

    // Drops the database before a run fills it, and again when the test ends.
    void drop(const std::string& database) {
        db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        if (std::find(used_.begin(), used_.end(), database) == used_.end()) {
            used_.push_back(database);
        }
    }

    std::vector<std::string> tables(const std::string& database) {
        std::vector<std::string> names;
        for (const row& r :
             db.query("SELECT table_name FROM information_schema.tables WHERE "
                      "table_schema = '" +
                      database + "' AND table_type = 'BASE TABLE' ORDER BY table_name")) {
            names.push_back(*r[0]);
        }
        return names;
    }

    std::size_t count(const std::string& database, const std::string& table) {
        const auto rows = db.query("SELECT COUNT(*) FROM `" + database + "`.`" + table + "`");
        return rows.empty() ? 0 : std::stoul(*rows[0][0]);
    }

    // The rows of the customers and orders tables as the fixture holds them.
    void expect_source_rows(const std::string& database) {
        const std::vector<row> customers = {
            {"1", "Åsa Öberg", "Malmö", "2024-01-02"},
            {"2", "Bob", std::nullopt, std::nullopt},
            {"3", "Zoë 😀", "Zürich", "1999-12-31"},
        };
        EXPECT_EQ(db.query("SELECT id, name, city, joined FROM `" + database +
                           "`.`dbo.customers` ORDER BY id"),
                  customers);
        const std::vector<row> orders = {
            {"10", "1", "19.99", "first"},
            {"11", "3", "0.50", std::nullopt},
        };
        EXPECT_EQ(db.query("SELECT id, customer_id, amount, note FROM `" + database +
                           "`.`dbo.orders` ORDER BY id"),
                  orders);
    }

    // A profile that reaches the test servers, with `mysql_extra` in its MySQL section, followed
    // by `sections`.
    std::string write_profile(const std::string& name, const std::string& sections,
                              const std::string& mysql_extra = "") {
        const auto& s = db.server;
        return dir.write(name, "[MySQL settings]\nhost=" + s.host + "\nuser=" + s.user +
                                   "\npassword=" + s.password + "\nport=" + std::to_string(s.port) +
                                   "\n" + mysql_extra +
                                   "[MS SQL Server settings]\nserver=" + mssql_host() +
                                   "\nlogin=sa\npassword=Velmora-Pw1\n"
                                   "windows authentication=0\n" +
                                   sections);
    }

    mysql_client db;

private:
    std::vector<std::string> used_;
};

TEST_F(PontrelRun, ConvertsEveryTableIntoMariaDB) {
    drop("agent_full");
    const auto result = run({"--dest=agent_full"});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    // Without a schema the tables of the login's own schema are converted, in the source's
    // order, under their owner-qualified names.
    EXPECT_EQ(result.out, "Converting database 'velmora_agent' (4 tables)\n"
                          "Converting table dbo.Café (1 records)\n"
                          "Converting table dbo.customers (3 records)\n"
                          "Converting table dbo.orders (2 records)\n"
                          "Converting table dbo.Заказы (1 records)\n"
                          "Converting table relationships\n");
    const std::vector<std::string> expected = {"dbo.Café", "dbo.customers", "dbo.orders",
                                               "dbo.Заказы"};
    EXPECT_EQ(tables("agent_full"), expected);
    expect_source_rows("agent_full");
}

TEST_F(PontrelRun, SilentRunWritesNothing) {
    drop("agent_silent");
    const auto result = run({"--silent", "--dest=agent_silent"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    expect_source_rows("agent_silent");
}

TEST_F(PontrelRun, ScriptFileReplaysIntoMariaDB) {
    drop("agent_script");
    const std::string script = dir.file("out.sql");
    // An existing file of that name is replaced.
    dir.write("out.sql", "old content\n");
    const auto result = run({"--dump", "--dest=" + script, "--mysqlh=127.0.0.1", "--port=1"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::string text = read_file(script);
    EXPECT_EQ(text.find("old content"), std::string::npos);

    db.exec("CREATE DATABASE agent_script CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "agent_script", script), "");
    expect_source_rows("agent_script");
}

TEST_F(PontrelRun, TableListInUtf8WithByteOrderMarkAndCrLf) {
    drop("agent_list_utf8");
    const std::string list =
        dir.write("tables.txt", "\xEF\xBB\xBF"
                                "dbo.customers\r\n\r\n\r\n"
                                "dbo.\xD0\x97\xD0\xB0\xD0\xBA\xD0\xB0\xD0\xB7\xD1\x8B\r\n"
                                "Nope\r\n"
                                "dbo.orders"); // no line end on the last line
    const auto result = run({"--dest=agent_list_utf8", "--tab_file=" + list});
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_EQ(result.err, "Table Nope not exists\n");
    EXPECT_NE(result.out.find("(4 tables)"), std::string::npos) << result.out;
    const std::vector<std::string> expected = {"dbo.customers", "dbo.orders", "dbo.Заказы"};
    EXPECT_EQ(tables("agent_list_utf8"), expected);
    expect_source_rows("agent_list_utf8");
}

TEST_F(PontrelRun, TableListInTheAnsiCodePage) {
    // "Café" in CP1252, with LF line ends and an empty line; the child's ANSI code page comes
    // from its locale or from the override of the code-page layer.
    const std::string list = dir.write("tables.txt", "dbo.Caf\xE9\n\ndbo.orders\n");
    const std::vector<std::vector<std::string>> environments = {
        {"LC_ALL=en_US.CP1252"},
        {"VELMORA_ANSI_CODEPAGE=1252"},
    };
    for (const auto& env : environments) {
        SCOPED_TRACE(env[0]);
        drop("agent_list_ansi");
        // orders without customers: its foreign key is not the subject here.
        const auto result =
            run({"--dest=agent_list_ansi", "--skip_idx", "--tab_file=" + list}, env);
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        const std::vector<std::string> expected = {"dbo.Café", "dbo.orders"};
        EXPECT_EQ(tables("agent_list_ansi"), expected);
        EXPECT_EQ(db.query("SELECT label FROM agent_list_ansi.`dbo.Café`"),
                  std::vector<row>{{"crème"}});
        // Progress lines are in the same code page.
        EXPECT_NE(result.out.find("Caf\xE9"), std::string::npos) << result.out;
    }
}

TEST_F(PontrelRun, OptionsShapeTheDestination) {
    const std::string profile =
        write_profile("shape.vlm", "[Selected Tables]\n"
                                   "dbo.Caf\xC3\xA9\ndbo.customers\ndbo.orders\n"
                                   "dbo.\xD0\x97\xD0\xB0\xD0\xBA\xD0\xB0\xD0\xB7\xD1\x8B\n"
                                   "[Selected Views]\n"
                                   "big_customers=SELECT id, name FROM customers WHERE id > 1\n");
    drop("agent_shape");
    auto result = run_pontrel({"--profile=" + profile, "--src=velmora_agent", "--mschema=dbo",
                               "--dest=agent_shape", "--tab_def", "--skip_idx", "--views",
                               "--charset=latin1", "--engine=MyISAM"},
                              dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::vector<std::string> plain = {"Café", "customers", "orders", "Заказы"};
    EXPECT_EQ(tables("agent_shape"), plain);
    EXPECT_EQ(count("agent_shape", "customers"), 0u);
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM information_schema.statistics WHERE "
                       "table_schema = 'agent_shape' AND index_name = 'IX_customers_city'"),
              std::vector<row>{{"0"}});
    EXPECT_EQ(db.query("SELECT table_name FROM information_schema.views WHERE "
                       "table_schema = 'agent_shape'"),
              std::vector<row>{{"big_customers"}});
    EXPECT_EQ(db.query("SELECT DISTINCT engine, table_collation FROM information_schema.tables "
                       "WHERE table_schema = 'agent_shape' AND table_type = 'BASE TABLE'"),
              (std::vector<row>{{"MyISAM", "latin1_swedish_ci"}}));

    // Without the options: rows, indexes, no views, the server's defaults.
    drop("agent_shape");
    result = run_pontrel(
        {"--profile=" + profile, "--src=velmora_agent", "--mschema=dbo", "--dest=agent_shape"},
        dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(db.query("SELECT id, name FROM agent_shape.customers ORDER BY id"),
              (std::vector<row>{{"1", "Åsa Öberg"}, {"2", "Bob"}, {"3", "Zoë 😀"}}));
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM information_schema.statistics WHERE "
                       "table_schema = 'agent_shape' AND index_name = 'IX_customers_city'"),
              std::vector<row>{{"1"}});
    EXPECT_TRUE(db.query("SELECT table_name FROM information_schema.views WHERE "
                         "table_schema = 'agent_shape'")
                    .empty());
    // The views the profile selects are named, with the option that converts them.
    EXPECT_NE(result.out.find("The profile selects the views big_customers; they are converted "
                              "only with --views.\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(db.query("SELECT DISTINCT engine FROM information_schema.tables "
                       "WHERE table_schema = 'agent_shape' AND table_type = 'BASE TABLE'"),
              std::vector<row>{{"InnoDB"}});
}

// A profile that selects only views selects no table: with --views the views are all a run
// creates, without it there is nothing to convert; in neither case is a table touched (mode 1
// would drop and recreate every table it converts).
TEST_F(PontrelRun, AProfileOfViewsOnlyConvertsNoTable) {
    const std::string profile = write_profile("views_only.vlm", "[Generic settings]\n"
                                                                "src=velmora_agent\n"
                                                                "mode=1\n"
                                                                "[Selected Views]\n"
                                                                "answer=SELECT 42 AS a\n");
    drop("agent_views_only");
    db.exec("CREATE DATABASE agent_views_only");
    db.exec("CREATE TABLE agent_views_only.`dbo.customers` (id INT, name VARCHAR(20))");
    db.exec("INSERT INTO agent_views_only.`dbo.customers` VALUES (42, 'do not lose me')");
    const std::vector<row> kept = {{"42", "do not lose me"}};

    auto result = run_pontrel({"--profile=" + profile, "--dest=agent_views_only"}, dir.path());
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("There is nothing to convert: no table or query of database "
                              "'velmora_agent' is selected, and the selected views (answer) are "
                              "left out: they are converted only with --views."),
              std::string::npos)
        << result.out << result.err;
    EXPECT_EQ(db.query("SELECT * FROM agent_views_only.`dbo.customers`"), kept);

    result =
        run_pontrel({"--profile=" + profile, "--dest=agent_views_only", "--views"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "Converting database 'velmora_agent' (0 tables)\n");
    EXPECT_EQ(tables("agent_views_only"), std::vector<std::string>{"dbo.customers"});
    EXPECT_EQ(db.query("SELECT * FROM agent_views_only.`dbo.customers`"), kept);
    EXPECT_EQ(db.query("SELECT a FROM agent_views_only.answer"), std::vector<row>{{"42"}});

    // The script of the same selection holds the view and no table.
    const std::string script = dir.file("views_only.sql");
    result = run_pontrel(
        {"--profile=" + profile, "--mode=0", "--dump", "--dest=" + script, "--views"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::string text = read_file(script);
    EXPECT_EQ(text.find("CREATE TABLE"), std::string::npos) << text;
    EXPECT_NE(text.find("answer"), std::string::npos) << text;
}

// A script recreates every table it writes: a mode that keeps what the destination holds is
// refused with a script destination, from the command line and from a profile, before the
// source is read; no script is written.
TEST_F(PontrelRun, AScriptIsWrittenInModeZeroOnly) {
    const std::string script = dir.file("moded.sql");
    const std::string in_profile =
        write_profile("moded.vlm", "[Generic settings]\nsrc=velmora_agent\nmode=3\n"
                                   "[MySQL settings]\ndirect mode=0\n");
    const std::vector<std::vector<std::string>> commands = {
        args({"--dump", "--mode=1", "--dest=" + script}),
        args({"--mode=2", "--dump", "--dest=" + script}),
        args({"--dump", "--mode=3", "--dest=" + script}),
        args({"--dump", "--mode=4", "--dest=" + script}),
        {"--profile=" + in_profile, "--dest=" + script},
        {"--dump", "--mode=2", "--profile=" + in_profile, "--dest=" + script},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(testing::PrintToString(command));
        const auto result = run_pontrel(command, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_NE((result.out + result.err)
                      .find("keeps what the destination holds, which a script cannot do"),
                  std::string::npos)
            << result.out << result.err;
        EXPECT_EQ(result.out.find("Converting"), std::string::npos) << result.out;
        EXPECT_FALSE(std::filesystem::exists(script));
    }
    const auto result = run({"--dump", "--mode=0", "--dest=" + script});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
}

// Section and key names are read in any letter case, as a profile written by hand may spell
// them: a selection or a mode the run did not recognise would leave it converting every table
// in mode 0, which drops what the destination holds.
TEST_F(PontrelRun, ProfileNamesInOtherLetterCases) {
    const std::string profile = write_profile("cases.vlm", "[generic SETTINGS]\n"
                                                           "SRC=velmora_agent\n"
                                                           "Mode=1\n"
                                                           "[selected tables]\n"
                                                           "dbo.customers\n");
    drop("agent_cases");
    db.exec("CREATE DATABASE agent_cases");
    db.exec("CREATE TABLE agent_cases.kept (id INT)");
    db.exec("INSERT INTO agent_cases.kept VALUES (7)");
    // The source named on the command line as well, so that the run goes ahead either way.
    const auto result = run_pontrel(
        {"--profile=" + profile, "--src=velmora_agent", "--dest=agent_cases"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_cases"), (std::vector<std::string>{"dbo.customers", "kept"}));
    EXPECT_EQ(db.query("SELECT id FROM agent_cases.kept"), std::vector<row>{{"7"}});
}

TEST_F(PontrelRun, SchemaOptionLimitsTheTables) {
    drop("agent_schema");
    const auto result = run({"--dest=agent_schema", "--mschema=stock"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_schema"), std::vector<std::string>{"items"});
}

// An empty schema lifts the limit to the login's own tables; --owned sets it again.
TEST_F(PontrelRun, EmptySchemaAndOwnedChooseTheTables) {
    drop("agent_owned");
    auto result = run({"--dest=agent_owned", "--as_dbo", "--mschema="});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_owned").size(), 5u);
    EXPECT_EQ(db.query("SELECT sku, qty FROM agent_owned.`stock.items` ORDER BY sku"),
              (std::vector<row>{{"A-1", "5"}, {"B-2", "0"}}));

    drop("agent_owned");
    result = run({"--dest=agent_owned", "--mschema=", "--owned"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_owned").size(), 4u);
}

// A profile's tables come first, then those of the table list, wherever the options stand; a
// second list replaces the first.
TEST_F(PontrelRun, ProfileTablesAndTableListsTogether) {
    const std::string profile = write_profile("tables.vlm", "[Generic settings]\n"
                                                            "src=velmora_agent\n"
                                                            "[Selected Tables]\n"
                                                            "dbo.orders\n");
    const std::string first = dir.write("first.txt", "dbo.customers\n");
    const std::string second = dir.write("second.txt", "dbo.Caf\xC3\xA9\n");
    const std::vector<std::vector<std::string>> orders = {
        {"--tab_file=" + first, "--tab_file=" + second, "--profile=" + profile},
        {"--profile=" + profile, "--tab_file=" + first, "--tab_file=" + second},
    };
    for (const auto& options : orders) {
        SCOPED_TRACE(testing::PrintToString(options));
        drop("agent_lists");
        std::vector<std::string> command = options;
        command.push_back("--dest=agent_lists");
        command.push_back("--skip_idx"); // orders without customers: its key is left out
        const auto result = run_pontrel(command, dir.path());
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        EXPECT_EQ(result.out, "Converting database 'velmora_agent' (2 tables)\n"
                              "Converting table [dbo].[orders] (2 records)\n"
                              "Converting table dbo.Café (1 records)\n");
    }
}

TEST_F(PontrelRun, SourceOfTheProfileAndOfTheCommandLine) {
    const std::string profile =
        write_profile("src.vlm", "[Generic settings]\nsrc=velmora_agent\n[Selected Tables]\n"
                                 "dbo.orders\n");
    drop("agent_src");
    // Before the profile the command line's source loses ...
    auto result = run_pontrel(
        {"--src=nope", "--profile=" + profile, "--dest=agent_src", "--skip_idx"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_src"), std::vector<std::string>{"dbo.orders"});
    // ... after it, it wins.
    result = run_pontrel({"--profile=" + profile, "--src=nope", "--dest=agent_src"}, dir.path());
    EXPECT_EQ(result.exit_code, exit_failed);
    EXPECT_EQ(result.err, "Database 'nope' does not exist\n");
}

// The wizard's registry settings: the console agent takes the script-file options from them and
// nothing else, so it still writes to a server and converts no views unless told to.
TEST_F(PontrelRun, RegistryGivesOnlyTheScriptFileOptions) {
    std::filesystem::create_directories(dir.file("config/velmora"));
    dir.write("config/velmora/registry", "; velmora registry: HKEY_CURRENT_USER\n"
                                         "[Software\\Quintaro\\Velmora]\n"
                                         "\"direct\"=dword:00000000\n"
                                         "\"convert_views\"=dword:00000001\n"
                                         "\"dmp_ins_db\"=dword:00000001\n"
                                         "; end\n");
    drop("agent_registry");
    auto result = run({"--dest=agent_registry"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_registry").size(), 4u);
    EXPECT_TRUE(db.query("SELECT table_name FROM information_schema.views WHERE "
                         "table_schema = 'agent_registry'")
                    .empty());

    const std::string script = dir.file("registry.sql");
    result = run({"--dump", "--dest=" + script});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_NE(read_file(script).find("CREATE DATABASE"), std::string::npos);
}

TEST_F(PontrelRun, ModesTreatAnExistingDatabase) {
    drop("agent_mode");
    db.exec("CREATE DATABASE agent_mode");
    db.exec("CREATE TABLE agent_mode.keep_me (id INT)");
    db.exec("CREATE TABLE agent_mode.`dbo.customers` (other INT)");
    db.exec("INSERT INTO agent_mode.`dbo.customers` VALUES (42)");

    // Skip existing tables: the foreign table and its row stay, the others arrive.
    // The foreign key of orders refers to a customers table without that key: it is reported.
    auto result = run({"--dest=agent_mode", "--mode=2"});
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("Foreign key 'FK_orders_customers': Cannot create foreign key. The "
                              "table 'dbo.customers' in the destination has no primary key or "
                              "unique index on (id)."),
              std::string::npos)
        << result.out;
    EXPECT_EQ(db.query("SELECT other FROM agent_mode.`dbo.customers`"), std::vector<row>{{"42"}});
    EXPECT_EQ(count("agent_mode", "dbo.orders"), 2u);
    EXPECT_EQ(count("agent_mode", "keep_me"), 0u);

    // Overwrite the entire database (the default mode): only the source's tables remain.
    result = run({"--dest=agent_mode"});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_mode").size(), 4u);
    expect_source_rows("agent_mode");
}

TEST_F(PontrelRun, ReportedErrorsEndWithFailure) {
    // A row that the destination refuses: reported with table and record, the run goes on.
    drop("agent_refused");
    ASSERT_EQ(run({"--dest=agent_refused", "--tab_def"}).exit_code, 0);
    db.exec("CREATE TRIGGER agent_refused.no_bob BEFORE INSERT ON agent_refused.`dbo.customers` "
            "FOR EACH ROW IF NEW.name = 'Bob' THEN "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'Bob is refused'; END IF");
    auto result = run({"--dest=agent_refused", "--mode=3"});
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("Error:\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(", record #2: Bob is refused\n"), std::string::npos) << result.out;
    EXPECT_EQ(count("agent_refused", "dbo.customers"), 2u);
    EXPECT_EQ(count("agent_refused", "dbo.orders"), 2u);

    // The same run with --silent prints nothing and still fails.
    db.exec("DELETE FROM agent_refused.`dbo.orders`");
    db.exec("DELETE FROM agent_refused.`dbo.customers`");
    result = run({"--dest=agent_refused", "--mode=3", "--silent"});
    EXPECT_EQ(result.exit_code, exit_failed);
    EXPECT_EQ(result.out + result.err, "");

    // An object that fails: a view over a table the destination lacks.
    const std::string profile =
        write_profile("view.vlm", "[Selected Views]\nbad_view=SELECT id FROM no_such_table\n");
    result = run_pontrel({"--profile=" + profile, "--src=velmora_agent", "--dest=agent_refused",
                          "--tab_def", "--views"},
                         dir.path());
    EXPECT_EQ(result.exit_code, exit_failed);
    EXPECT_NE(result.out.find("Error:\nView 'bad_view': "), std::string::npos) << result.out;
}

// A profile's query or view that holds another statement is refused, named, before anything
// runs: the source never receives the statement and the destination's other database survives.
TEST_F(PontrelRun, ProfileQueriesAndViewsRunOnlyOneSelect) {
    drop("agent_hostile");
    drop("agent_victim1");
    db.exec("CREATE DATABASE agent_victim1");
    struct case_t {
        const char* section;
        const char* entry;
        const char* message;
    };
    const case_t cases[] = {
        {"Selected Tables", "q1=SELECT id FROM customers; DELETE FROM customers",
         "Query 'q1' is not a single SELECT statement: another statement follows its \";\""},
        {"Selected Tables", "q2=SELECT id FROM customers DELETE FROM customers",
         "Query 'q2' is not a single SELECT statement: it holds the keyword DELETE"},
        {"Available Queries", "q3=SELECT 1 AS x EXEC('DROP DATABASE agent_victim1')",
         "Query 'q3' is not a single SELECT statement: it holds the keyword EXEC"},
        {"Selected Views", "v1=SELECT 'a;b' AS x; DROP DATABASE agent_victim1",
         "View 'v1' is not a single SELECT statement: another statement follows its \";\""},
        {"Selected Views", "v2=SELECT 1 --1\r; DROP DATABASE agent_victim1; SELECT 2",
         "View 'v2' is not a single SELECT statement: it holds a \"--\" comment that a carriage "
         "return alone ends"},
        {"Selected Tables",
         "q4=SELECT id AS q FROM customers {call sp_executesql(N'DELETE FROM customers')}",
         "Query 'q4' is not a single SELECT statement: it holds \"{\""},
        {"Selected Tables", "q5=SELECT 1 AS q {call xp_cmdshell('whoami')}",
         "Query 'q5' is not a single SELECT statement: it holds \"{\""},
        {"Selected Tables", "q6=SELECT NEXT VALUE FOR dbo.seq AS n",
         "Query 'q6' is not a single SELECT statement: it holds NEXT VALUE FOR"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.entry);
        server->clear_statements();
        const std::string profile =
            write_profile("hostile.vlm", std::string("[") + c.section + "]\n" + c.entry + "\n");
        for (const std::string& dest : {std::string("agent_hostile"), dir.file("hostile.sql")}) {
            const auto result = run_pontrel(
                {"--profile=" + profile, "--src=velmora_agent", "--dest=" + dest, "--views"},
                dir.path());
            EXPECT_EQ(result.exit_code, exit_failed);
            EXPECT_NE((result.out + result.err).find(c.message), std::string::npos)
                << result.out << result.err;
        }
        for (const std::string& statement : server->statements()) {
            EXPECT_EQ(statement.find("DELETE"), std::string::npos) << statement;
            EXPECT_EQ(statement.find("DROP"), std::string::npos) << statement;
            EXPECT_EQ(statement.find("exec"), std::string::npos) << statement;
            EXPECT_EQ(statement.find("NEXT VALUE"), std::string::npos) << statement;
        }
        EXPECT_EQ(db.query("SHOW DATABASES LIKE 'agent_victim1'").size(), 1u);
    }
}

// A profile query reaches the source as the one SELECT the check read, whatever FreeTDS's driver
// would rewrite in its comments and whatever the locale's letter case: the test server's log
// shows each accepted query as its text without comments, read as one statement, and no refused
// one at all. Under a Turkish locale, keywords with a lower-case i are still found.
TEST_F(PontrelRun, ProfileQueriesReachTheSourceAsTheCheckReadThem) {
    std::vector<agent_test::hidden_statement_query> queries(
        std::begin(agent_test::hidden_statement_queries),
        std::end(agent_test::hidden_statement_queries));
    queries.push_back(
        {"SELECT id FROM dbo.customers insert into dbo.customers (id) values (9)", ""});
    queries.push_back({"select id into dbo.pwned from dbo.customers", ""});
    queries.push_back({"with x as (select id from dbo.customers) select id from x",
                       "with x as (select id from dbo.customers) select id from x"});
    const std::vector<std::string> turkish = test_support::turkish_environment();
    for (const std::vector<std::string>& env : {std::vector<std::string>{}, turkish}) {
        for (const agent_test::hidden_statement_query& query : queries) {
            SCOPED_TRACE(std::string(query.text) + (env.empty() ? "" : " (Turkish)"));
            const std::string profile = write_profile(
                "query.vlm", std::string("[Selected Tables]\nq1=") + query.text + "\n");
            server->clear_statements();
            drop("agent_query");
            const auto result =
                run_pontrel({"--profile=" + profile, "--src=velmora_agent", "--dest=agent_query"},
                            dir.path(), env);
            // The test server answers no CTE: an accepted query is only to be sent, not refused.
            const bool refused = std::string(query.sent).empty();
            const std::string said = result.out + result.err;
            EXPECT_EQ(said.find("is not a single SELECT statement") != std::string::npos, refused)
                << said;
            if (refused) {
                EXPECT_EQ(result.exit_code, exit_failed);
            }
            EXPECT_EQ(agent_test::query_arrival_fault(server->statements(), query), "");
        }
    }
}

// View texts whose comments or literals MySQL reads otherwise than SQL Server: each reaches the
// server, and the script replayed by the mysql client, as the SELECT the check read, or is
// reported by name. No other database is dropped and no view reads the server's accounts.
TEST_F(PontrelRun, ViewTextsReadAlikeInEveryDestination) {
    drop("agent_readalike");
    drop("agent_readalike_s");
    drop("agent_victim3");
    db.exec("CREATE DATABASE agent_victim3");
    const std::string profile = write_profile(
        "readalike.vlm",
        "[Selected Views]\n"
        "v_nested=SELECT 1 AS a /* /* */ ; DROP DATABASE agent_victim3; -- */\n"
        "v_exec=SELECT 1 AS a /*!, (SELECT GROUP_CONCAT(User,0x3a,Password) FROM mysql.user) "
        "AS leak */\n"
        "v_mariadb=SELECT 1 AS a /*M!, (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak */\n"
        "v_lead=/* leading */ SELECT 1 AS a\n"
        "v_with=WITH x AS (SELECT 1 AS a) SELECT a FROM x\n"
        "v_slash=SELECT 'a\\'' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak, ' AS b\n");
    const std::vector<std::string> views = {"v_exec", "v_lead", "v_mariadb", "v_nested"};
    const auto to_server = run_pontrel({"--profile=" + profile, "--src=velmora_agent",
                                        "--dest=agent_readalike", "--views", "--tab_def"},
                                       dir.path());
    EXPECT_EQ(to_server.exit_code, 0) << to_server.out << to_server.err;
    EXPECT_EQ(db.query("SELECT a FROM agent_readalike.v_with"), std::vector<row>{{"1"}});
    EXPECT_EQ(db.query("SELECT b FROM agent_readalike.v_slash"),
              std::vector<row>{{"a\\' , (SELECT "
                                "GROUP_CONCAT(User) FROM mysql.user) AS leak, "}});

    const std::string script = dir.file("readalike.sql");
    const auto to_script = run_pontrel({"--profile=" + profile, "--src=velmora_agent",
                                        "--dest=" + script, "--views", "--dump", "--tab_def"},
                                       dir.path());
    EXPECT_EQ(to_script.exit_code, exit_failed);
    const std::string said = to_script.out + to_script.err;
    EXPECT_NE(said.find("View 'v_with': The view begins with WITH"), std::string::npos) << said;
    EXPECT_NE(said.find("View 'v_slash': The view text cannot go into the script"),
              std::string::npos)
        << said;
    db.exec("CREATE DATABASE agent_readalike_s CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "agent_readalike_s", script), "");

    EXPECT_EQ(db.query("SHOW DATABASES LIKE 'agent_victim3'").size(), 1u);
    for (const char* dest : {"agent_readalike", "agent_readalike_s"}) {
        for (const std::string& view : views) {
            SCOPED_TRACE(std::string(dest) + "." + view);
            EXPECT_EQ(db.query(std::string("SELECT * FROM ") + dest + "." + view),
                      std::vector<row>{{"1"}});
        }
    }
    EXPECT_TRUE(db.query("SELECT table_schema, table_name FROM information_schema.columns WHERE "
                         "table_schema LIKE 'agent_readalike%' AND column_name = 'leak'")
                    .empty());
}

// View texts that SQL Server reads as one SELECT but the mysql client would read otherwise: a
// backslash closing a literal early, or a literal line the client takes for its command. Such a
// view is reported and left out of the script, whose replay leaves the other database alive.
TEST_F(PontrelRun, ScriptViewsHoldNoClientCommands) {
    drop("agent_views");
    drop("agent_victim2");
    db.exec("CREATE DATABASE agent_victim2");
    const std::string profile = write_profile(
        "views.vlm", "[Selected Views]\n"
                     "v_path=SELECT 'C:\\' AS p, '; DROP DATABASE agent_victim2; -- ' AS q\n"
                     "v_shell=SELECT 1 AS x /* \\! touch pwned */\n"
                     "v_fine=SELECT 1 AS x\n");
    const std::string script = dir.file("views.sql");
    const auto result = run_pontrel(
        {"--profile=" + profile, "--src=velmora_agent", "--dest=" + script, "--views", "--dump"},
        dir.path());
    EXPECT_EQ(result.exit_code, exit_failed);
    const std::string said = result.out + result.err;
    EXPECT_NE(said.find("View 'v_path': The view text cannot go into the script: it holds a "
                        "backslash"),
              std::string::npos)
        << said;
    const std::string text = read_file(script);
    EXPECT_EQ(text.find('\\'), std::string::npos);
    // The comment that held the client's command is gone with every other comment.
    EXPECT_NE(text.find("`v_shell` AS SELECT 1 AS x;"), std::string::npos) << text;
    EXPECT_NE(text.find("`v_fine`"), std::string::npos) << text;

    db.exec("CREATE DATABASE agent_views CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "agent_views", script), "");
    EXPECT_EQ(db.query("SHOW DATABASES LIKE 'agent_victim2'").size(), 1u);
    EXPECT_EQ(db.query("SELECT x FROM agent_views.v_fine"), (std::vector<row>{{"1"}}));
}

TEST_F(PontrelRun, RefusedConnectionsAndMissingSourceFail) {
    struct case_t {
        const char* name;
        std::vector<std::string> extra;
        const char* out;
        const char* err;
    };
    const case_t cases[] = {
        // A refused TCP connection (client error 2002) explained, not the client's own text.
        {"mysql refused",
         {"--dest=agent_never", "--port=1"},
         "Error:\nCannot connect to the MySQL server. Check to verify that MySQL server is "
         "launched and the correct host/port values were given.\n",
         ""},
        {"mssql login refused", {"--dest=agent_never", "--mssqlp=wrong"}, "Error:\n", ""},
        {"missing source",
         {"--dest=agent_never", "--src=nope"},
         "",
         "Database 'nope' does not exist\n"},
        {"invalid database name",
         {"--dest=agent/never"},
         "Error:\nNot a valid MySQL database name.",
         ""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = run(c.extra);
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << result.out;
        // A CR left in an error text would send the cursor back over the start of its line.
        EXPECT_EQ(result.out.find('\r'), std::string::npos) << result.out;
        EXPECT_EQ(result.err, c.err);
    }
    EXPECT_TRUE(db.query("SHOW DATABASES LIKE 'agent_never'").empty());
}

TEST_F(PontrelRun, ServerDatabasesAreNeverDropped) {
    const auto result = run({"--dest=mysql"});
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_FALSE(db.query("SELECT COUNT(*) FROM mysql.user").empty());
}

TEST_F(PontrelRun, ProfileSettingsAndTheOptionsAroundIt) {
    const std::string profile = write_profile("run.vlm",
                                              "[Generic settings]\n"
                                              "src=velmora_agent\n"
                                              "dest=agent_prof_a\n"
                                              "skip indexes=1\n"
                                              "[Selected Tables]\n"
                                              "dbo.orders\n",
                                              "direct mode=1\n");
    drop("agent_prof_a");
    drop("agent_prof_b");
    // Connection options are dropped once a profile is loaded, wherever they stand; a --dest=
    // after the profile wins, one before it loses; --dump before it loses to its direct mode.
    // The wrong servers are port 1 of this machine: taken by mistake, they fail at once and
    // never reach another machine.
    const std::vector<std::string> wrong_servers = {"--mssqlh=127.0.0.1,1", "--mysqlh=127.0.0.1",
                                                    "--port=1", "--mysqlp=x"};
    std::vector<std::string> command = {"--dest=agent_prof_b", "--dump"};
    command.insert(command.end(), wrong_servers.begin(), wrong_servers.end());
    command.push_back("--profile=" + profile);
    auto result = run_pontrel(command, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_prof_a"), std::vector<std::string>{"dbo.orders"});
    EXPECT_TRUE(tables("agent_prof_b").empty());
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM information_schema.statistics WHERE "
                       "table_schema = 'agent_prof_a' AND index_name <> 'PRIMARY'"),
              std::vector<row>{{"0"}});

    command = {"--profile=" + profile, "--dest=agent_prof_b"};
    command.insert(command.end(), wrong_servers.begin(), wrong_servers.end());
    result = run_pontrel(command, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(tables("agent_prof_b"), std::vector<std::string>{"dbo.orders"});
}

} // namespace
