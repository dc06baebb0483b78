// Source tables that only their (owner, table) pair tells apart, and safe names that collide:
// each source table's rows land in its own destination table, on every run.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

using agent_test::mysql_client;
using agent_test::read_file;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;
using agent_test::temp_dir;

class TableNames : public agent_test::tds_suite<TableNames> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/names_pairs.tds"};
    }

protected:
    // A database of the test's own: ctest runs the tests of this file side by side.
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        database =
            std::string("names_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        db.exec("DROP DATABASE IF EXISTS " + database);
    }
    void TearDown() override {
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS " + database);
        }
    }

    run_result run(const std::vector<std::string>& extra) {
        std::vector<std::string> all = {"--mssqlh=127.0.0.1," + std::to_string(server->port()),
                                        "--mssqlu=sa", "--mssqlp=Velmora-Pw1",
                                        "--src=velmora_names", "--dest=" + database};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return run_pontrel(all, dir.path());
    }

    // Replays a script file with the mariadb client into the (new) test database.
    void replay(const std::string& script) {
        db.exec("CREATE DATABASE " + database + " CHARACTER SET utf8mb4");
        EXPECT_EQ(test_support::replay_script(db.server, database, script), "");
    }

    // The labels each destination table holds, by table name.
    std::vector<row> labels(const std::string& table) {
        std::string quoted;
        for (char c : table) {
            quoted += c;
            if (c == '`') {
                quoted += '`';
            }
        }
        return db.query("SELECT id, label FROM " + database + ".`" + quoted + "` ORDER BY id");
    }

    mysql_client db;
    std::string database;
};

// Every destination table receives the rows of its own source table, with and without owners
// in the destination names; names the validator must change come out in the order of the source
// names, so they are the same for any selection.
TEST_F(TableNames, EachSourceTableFillsItsOwnTable) {
    struct expected_table {
        std::string name;
        row first;
    };
    const struct {
        std::vector<std::string> options;
        std::vector<expected_table> tables;
    } cases[] = {
        {{"--mschema=", "--as_dbo"},
         {{"a.b.c", {"1", "a.b|c"}},
          {"a.b.c00000", {"2", "a|b.c"}},
          {"dbo.x", {"3", "x"}},
          {"dbo.[x]", {"4", "[x]"}},
          {"dbo.x_y", {"5", "x_y"}},
          {"dbo.x_y00000", {"6", "x'y"}},
          {"dbo.x_y00001", {"7", "x`y"}},
          {"dbo.Große Liste", {"8", "Große Liste"}}}},
        {{"--mschema=dbo"},
         {{"x", {"3", "x"}},
          {"[x]", {"4", "[x]"}},
          {"x_y", {"5", "x_y"}},
          {"x_y00000", {"6", "x'y"}},
          {"x_y00001", {"7", "x`y"}},
          {"Große Liste", {"8", "Große Liste"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        db.exec("DROP DATABASE IF EXISTS " + database);
        const auto result = run(c.options);
        ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
        for (const auto& table : c.tables) {
            SCOPED_TRACE(table.name);
            EXPECT_EQ(labels(table.name), std::vector<row>{table.first});
        }
    }
}

// The table list names tables in the bracketed form, the plain "owner.table" form and, with a
// schema chosen, by the bare name; a name that could mean two tables is refused as missing. A
// later merge run of one table finds the table the first run made for it.
TEST_F(TableNames, TableListFormsAndARepeatedRun) {
    const std::string list = dir.write("tables.txt", "[dbo].[x'y]\n"
                                                     "[a.b].[c]\n"
                                                     "a.b.c\n"
                                                     "[dbo].[[x]]]\n"
                                                     "dbo.x_y\n");
    auto result = run({"--mschema=", "--as_dbo", "--tab_file=" + list});
    EXPECT_EQ(result.exit_code, 255) << result.out << result.err;
    EXPECT_EQ(result.err, "Table a.b.c not exists\n");
    EXPECT_EQ(labels("dbo.x_y00000"), (std::vector<row>{{"6", "x'y"}}));
    EXPECT_EQ(labels("a.b.c"), (std::vector<row>{{"1", "a.b|c"}}));
    EXPECT_EQ(labels("dbo.[x]"), (std::vector<row>{{"4", "[x]"}}));
    EXPECT_EQ(labels("dbo.x_y"), (std::vector<row>{{"5", "x_y"}}));

    db.exec("DROP DATABASE IF EXISTS " + database);
    const std::string first = dir.write("first.txt", "dbo.[x'y]\n");
    result = run({"--mschema=dbo", "--tab_file=" + first});
    ASSERT_EQ(result.exit_code, 255) << result.out << result.err; // brackets in a plain name
    const std::string quoted = dir.write("quoted.txt", "[dbo].[x`y]\n");
    result = run({"--mschema=dbo", "--tab_file=" + quoted});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    db.exec("DELETE FROM " + database + ".x_y00001");
    // A bare name means the table of the chosen schema.
    const std::string plain = dir.write("plain.txt", "x_y\n[dbo].[x`y]\n");
    result = run({"--mschema=dbo", "--mode=4", "--tab_file=" + plain});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(labels("x_y"), (std::vector<row>{{"5", "x_y"}}));
    EXPECT_EQ(labels("x_y00001"), (std::vector<row>{{"7", "x`y"}}));
}

// A view names its tables as owner.table, [owner].[table], by the bare name and with columns
// behind the table; whether the MySQL tables keep their owner or not, every form reaches them,
// on the server and through a replayed script.
TEST_F(TableNames, ViewsFindTheirTablesUnderEveryForm) {
    const auto& s = db.server;
    const std::string profile = dir.write(
        "views.vlm",
        profile_head(s) +
            "[Generic settings]\nsrc=velmora_names\n"
            "[Selected Tables]\n[dbo].[Products]\n[dbo].[x_y]\n[dbo].[x'y]\n"
            "[Selected Views]\n"
            "v_qualified=SELECT dbo.Products.ProductName, Products.ProductID FROM dbo.Products "
            "WHERE DBO.products.ProductID > 1\n"
            "v_brackets=SELECT [dbo].[Products].[ProductName] FROM [dbo].[Products] "
            "WHERE [Products].[ProductID] = 1\n"
            "v_bare=SELECT p.ProductName, 'dbo.Products' AS t FROM Products p, x_y "
            "WHERE p.ProductID = x_y.id - 4\n"
            "v_mixed=SELECT q.label FROM dbo.[x'y] q JOIN [dbo].x_y ON q.id = x_y.id + 1\n");
    const std::vector<std::vector<std::string>> options = {{"--mschema=dbo"}, {}, {"--mschema="}};
    for (const auto& extra : options) {
        for (const bool script : {false, true}) {
            SCOPED_TRACE(testing::PrintToString(extra) + (script ? " script" : " server"));
            db.exec("DROP DATABASE IF EXISTS " + database);
            std::vector<std::string> command = {"--profile=" + profile, "--views", "--as_dbo"};
            command.insert(command.end(), extra.begin(), extra.end());
            command.push_back("--dest=" + (script ? dir.file("views.sql") : database));
            if (script) {
                command.push_back("--dump");
            }
            const auto result = run_pontrel(command, dir.path());
            ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
            if (script) {
                replay(dir.file("views.sql"));
            }
            EXPECT_EQ(db.query("SELECT * FROM " + database + ".v_qualified"),
                      (std::vector<row>{{"Coffee", "2"}}));
            EXPECT_EQ(db.query("SELECT * FROM " + database + ".v_brackets"),
                      std::vector<row>{{"Tea"}});
            EXPECT_EQ(db.query("SELECT * FROM " + database + ".v_bare"),
                      (std::vector<row>{{"Tea", "dbo.Products"}}));
            EXPECT_EQ(db.query("SELECT * FROM " + database + ".v_mixed"),
                      std::vector<row>{{"x'y"}});
            // Only the selected tables: the selection in brackets is read as tables.
            EXPECT_EQ(db.query("SELECT COUNT(*) FROM information_schema.tables WHERE "
                               "table_schema = '" +
                               database + "' AND table_type = 'BASE TABLE'"),
                      std::vector<row>{{"3"}});
        }
    }
}

} // namespace
