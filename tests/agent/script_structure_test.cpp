// What the server refuses of a table's structure (more columns than InnoDB takes, an index named
// PRIMARY, a default the mapped type cannot hold, a key over a column mapped to a long text, a
// foreign key between columns a mapping made unlike) a direct run reports, and a script run must
// report it too instead of writing a script whose replay stops at it. The replaying server is the
// oracle: each case runs both ways with the same profile, and a script run that ends with 0 must
// replay into the direct run's tables, columns, indexes, foreign keys and rows.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

struct mapping {
    const char* table;
    const char* column;
    const char* type;
    int length;
    int precision;
    int scale;
    const char* default_value;
};

struct structure_case {
    const char* name;
    std::vector<const char*> tables;
    std::vector<mapping> mappings;
};

const structure_case cases[] = {
    {"more columns than InnoDB takes", {"many"}, {}},
    {"as many columns as InnoDB takes", {"most"}, {}},
    {"an index named PRIMARY", {"primary_named"}, {}},
    {"texts wider than a row together", {"wide_rows"}, {}},
    {"texts mapped wider than a row together",
     {"wide_rows"},
     {{"wide_rows", "c0", "VARCHAR", 16000, 0, 0, ""}}},
    {"a source default past a mapped length",
     {"defaults"},
     {{"defaults", "s", "VARCHAR", 2, 0, 0, ""}}},
    {"a mapped default past its length",
     {"defaults"},
     {{"defaults", "s", "VARCHAR", 2, 0, 0, "'abcdef'"}}},
    {"a mapped default within its length",
     {"defaults"},
     {{"defaults", "s", "VARCHAR", 8, 0, 0, "'ab'"}}},
    {"a mapped default past TINYINT",
     {"defaults"},
     {{"defaults", "n", "TINYINT", 0, 0, 0, "1000"}}},
    {"a mapped default within TINYINT",
     {"defaults"},
     {{"defaults", "n", "TINYINT", 0, 0, 0, "-128"}}},
    {"a mapped default past DECIMAL(3,1)",
     {"defaults"},
     {{"defaults", "n", "DECIMAL", 0, 3, 1, "100"}}},
    {"a mapped date default", {"defaults"}, {{"defaults", "d", "DATE", 0, 0, 0, "'2024-02-29'"}}},
    {"a mapped default no date",
     {"defaults"},
     {{"defaults", "d", "DATE", 0, 0, 0, "'2024-02-30'"}}},
    {"a primary key over LONG", {"keyed_text"}, {{"keyed_text", "s", "LONG", 0, 0, 0, ""}}},
    {"an index over LONG", {"keyed_text"}, {{"keyed_text", "a", "LONG", 0, 0, 0, ""}}},
    {"an index over LONG VARCHAR",
     {"keyed_text"},
     {{"keyed_text", "a", "LONG VARCHAR", 0, 0, 0, ""}}},
    {"a referenced key widened",
     {"parents", "children"},
     {{"parents", "id", "BIGINT", 0, 0, 0, ""}}},
    {"a referenced key unsigned",
     {"parents", "children"},
     {{"parents", "id", "INT UNSIGNED", 0, 0, 0, ""}}},
    {"a referencing key narrowed",
     {"parents", "children"},
     {{"children", "parent", "SMALLINT", 0, 0, 0, ""}}},
    {"both keys mapped alike",
     {"parents", "children"},
     {{"parents", "id", "BIGINT", 0, 0, 0, ""}, {"children", "parent", "BIGINT", 0, 0, 0, ""}}},
    {"a referenced text key as bytes",
     {"parents", "children"},
     {{"parents", "code", "VARBINARY", 80, 0, 0, ""}}},
    {"a referenced text key shortened",
     {"parents", "children"},
     {{"parents", "code", "VARCHAR", 10, 0, 0, ""}}},
    {"a referencing text key as CHAR",
     {"parents", "children"},
     {{"children", "parent_code", "CHAR", 30, 0, 0, ""}}},
    {"a referencing key of INTEGER",
     {"parents", "children"},
     {{"children", "parent", "INTEGER", 0, 0, 0, ""}}},
    {"a referencing key of int in lower case",
     {"parents", "children"},
     {{"children", "parent", "int", 0, 0, 0, ""}}},
    {"a referencing key of BOOL to TINYINT",
     {"parents", "children"},
     {{"parents", "id", "TINYINT", 0, 0, 0, ""}, {"children", "parent", "BOOL", 0, 0, 0, ""}}},
    {"keys of NUMERIC and DECIMAL",
     {"parents", "children"},
     {{"parents", "id", "DECIMAL", 0, 10, 2, ""}, {"children", "parent", "NUMERIC", 0, 10, 2, ""}}},
    {"a referencing text key of varchar in lower case",
     {"parents", "children"},
     {{"children", "parent_code", "varchar", 30, 0, 0, ""}}},
    {"a referencing text key of NVARCHAR",
     {"parents", "children"},
     {{"children", "parent_code", "NVARCHAR", 30, 0, 0, ""}}},
    {"a negative mapped default", {"defaults"}, {{"defaults", "n", "INT", 0, 0, 0, "-5"}}},
    {"a quoted mapped default of a number",
     {"defaults"},
     {{"defaults", "n", "INT", 0, 0, 0, "'5'"}}},
    {"a quoted mapped default past TINYINT",
     {"defaults"},
     {{"defaults", "n", "TINYINT", 0, 0, 0, "'1000'"}}},
    {"a mapped default past tinyint in lower case",
     {"defaults"},
     {{"defaults", "n", "tinyint", 0, 0, 0, "1000"}}},
    {"a mapped default past DECIMAL(3,1) once rounded",
     {"defaults"},
     {{"defaults", "n", "DECIMAL", 0, 3, 1, "99.96"}}},
    {"a mapped date default with a time",
     {"defaults"},
     {{"defaults", "d", "DATE", 0, 0, 0, "'2024-02-29 10:00:00'"}}},
    {"a mapped default past NVARCHAR(2)",
     {"defaults"},
     {{"defaults", "s", "NVARCHAR", 2, 0, 0, "'abc'"}}},
    {"a mapped default 'NULL' past VARCHAR(2)",
     {"defaults"},
     {{"defaults", "s", "VARCHAR", 2, 0, 0, "'NULL'"}}},
    {"a mapped default NULL", {"defaults"}, {{"defaults", "s", "VARCHAR", 2, 0, 0, "NULL"}}},
    {"a mapped default with blanks past its length",
     {"defaults"},
     {{"defaults", "s", "VARCHAR", 2, 0, 0, "'ab   '"}}},
    {"a mapped default on LONG", {"defaults"}, {{"defaults", "s", "LONG", 0, 0, 0, "'ab'"}}},
    {"a mapped default past a TIME",
     {"defaults"},
     {{"defaults", "d", "TIME", 0, 0, 0, "'2024-01-01 10:00:00'"}}},
};

class PontrelScriptStructure : public agent_test::tds_suite<PontrelScriptStructure> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/script_structure.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    // Each test drops only what it made: ctest runs them side by side.
    void TearDown() override {
        for (const std::string& database : databases) {
            db.exec("DROP DATABASE IF EXISTS " + database);
        }
    }

    std::string profile(const structure_case& c, const std::string& charset) {
        const auto& s = db.server;
        std::string text = profile_head(s) +
                           "schema=dbo\n[Generic settings]\nsrc=velmora_structure\n"
                           "character set=" +
                           charset + "\n[Selected Tables]\n";
        for (const char* table : c.tables) {
            text += std::string("dbo.") + table + "\n";
        }
        text += "[Type Mappings]\ndatabase:\ntables:\n";
        for (const char* table : c.tables) {
            std::string fields;
            for (const mapping& m : c.mappings) {
                if (std::string(m.table) != table) {
                    continue;
                }
                fields += agent_test::type_mapping_field(
                    {m.column, m.type, m.length, m.precision, m.scale, m.default_value});
            }
            if (!fields.empty()) {
                text += std::string("  - name: dbo.") + table + "\n    new_name: dbo." + table +
                        "\n    fields:\n" + fields;
            }
        }
        return dir.write("structure.vlm", text);
    }

    // What a database holds, each table's structure as the server describes it and its rows.
    // A table in the default utf8 is converted to utf8mb4 on replay, which changes its text
    // types: only a latin1 run compares those. A script cuts its keys' prefixes for every
    // InnoDB, so whether a key column is a prefix is compared, not how long it is.
    std::vector<row> contents(const std::string& database, bool full_types) {
        const std::string schema = "'" + database + "'";
        std::vector<row> all =
            db.query(std::string("SELECT table_name, column_name, ") +
                     (full_types ? "column_type" : "data_type LIKE '%text'") +
                     ", is_nullable, column_default, extra FROM information_schema.columns "
                     "WHERE table_schema = " +
                     schema + " ORDER BY table_name, ordinal_position");
        const std::vector<row> indexes = db.query(
            std::string("SELECT table_name, index_name, non_unique, seq_in_index, column_name") +
            ", sub_part IS NULL" + " FROM information_schema.statistics WHERE table_schema = " +
            schema + " ORDER BY 1, 2, 4");
        const std::vector<row> keys =
            db.query("SELECT constraint_name, table_name, referenced_table_name FROM "
                     "information_schema.referential_constraints WHERE constraint_schema = " +
                     schema + " ORDER BY 1");
        all.insert(all.end(), indexes.begin(), indexes.end());
        all.insert(all.end(), keys.begin(), keys.end());
        for (const row& table : db.query("SELECT table_name FROM information_schema.tables "
                                         "WHERE table_schema = " +
                                         schema + " ORDER BY 1")) {
            const std::vector<row> rows =
                db.query("SELECT * FROM " + database + ".`" + *table[0] + "` ORDER BY 1");
            all.insert(all.end(), rows.begin(), rows.end());
        }
        return all;
    }

    mysql_client db;
    std::vector<std::string> databases = {"ss_direct", "ss_script"};
};

// A direct run that reports an error ⇒ the script run reports one too (exit code 255), and the
// other way round; a script run that ends with 0 ⇒ its replay runs through into what the direct
// run left.
TEST_F(PontrelScriptStructure, ScriptRefusesWhatTheServerRefuses) {
    for (const char* charset : {"latin1", "utf8"}) {
        for (const structure_case& c : cases) {
            SCOPED_TRACE(std::string(charset) + ": " + c.name);
            const std::string settings = profile(c, charset);
            db.exec("DROP DATABASE IF EXISTS ss_direct");
            const run_result direct =
                run_pontrel({"--profile=" + settings, "--dest=ss_direct"}, dir.path());
            const std::string script = dir.file("structure.sql");
            std::filesystem::remove(script);
            const run_result dumped =
                run_pontrel({"--profile=" + settings, "--dump", "--dest=" + script}, dir.path());
            // Each structure here is one the script judges as the server does, so neither run
            // refuses what the other takes.
            EXPECT_EQ(dumped.exit_code, direct.exit_code) << direct.out << "\n---\n" << dumped.out;
            if (dumped.exit_code != 0) {
                continue;
            }
            db.exec("DROP DATABASE IF EXISTS ss_script");
            db.exec("CREATE DATABASE ss_script");
            const std::string replayed =
                test_support::replay_script(db.server, "ss_script", script);
            EXPECT_EQ(replayed.substr(0, 300), "") << dumped.out;
            if (!replayed.empty()) {
                continue;
            }
            const bool full_types = std::string(charset) == "latin1";
            EXPECT_EQ(contents("ss_script", full_types), contents("ss_direct", full_types));
        }
    }
}

// A query whose columns share a name gets a table whose later column takes another name: each
// column holds its own field's values, in the script as in the server.
TEST_F(PontrelScriptStructure, QueryColumnsOfOneNameKeepTheirOwnValues) {
    const std::string settings =
        dir.write("query.vlm", profile_head(db.server) +
                                   "schema=dbo\n[Generic settings]\nsrc=velmora_structure\n"
                                   "[Selected Tables]\n"
                                   "twice=SELECT id, code AS id, id AS ID FROM dbo.parents\n");
    databases = {"ss_query_direct", "ss_query_script"};
    db.exec("DROP DATABASE IF EXISTS ss_query_direct");
    const run_result direct =
        run_pontrel({"--profile=" + settings, "--dest=ss_query_direct"}, dir.path());
    ASSERT_EQ(direct.exit_code, 0) << direct.out;
    const std::string script = dir.file("query.sql");
    std::filesystem::remove(script);
    const run_result dumped =
        run_pontrel({"--profile=" + settings, "--dump", "--dest=" + script}, dir.path());
    ASSERT_EQ(dumped.exit_code, 0) << dumped.out;
    db.exec("DROP DATABASE IF EXISTS ss_query_script");
    db.exec("CREATE DATABASE ss_query_script");
    ASSERT_EQ(test_support::replay_script(db.server, "ss_query_script", script), "");
    const std::vector<row> expected = {{"1", "a", "1"}, {"2", "b", "2"}};
    EXPECT_EQ(db.query("SELECT * FROM ss_query_direct.twice ORDER BY 1"), expected);
    EXPECT_EQ(db.query("SELECT * FROM ss_query_script.twice ORDER BY 1"), expected);
}

} // namespace
