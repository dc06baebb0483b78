// Merge and synchronize against what the destination holds: rows that collide only under the
// destination's collation, rows matched in an existing table, and existing columns narrower
// than the source's. Each run is judged by its exit code and the rows MariaDB holds.
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

constexpr int exit_failed = 255;

class PontrelModes : public agent_test::tds_suite<PontrelModes> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/modes.tds"};
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        dest = std::string("md_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        db.exec("DROP DATABASE IF EXISTS " + dest);
    }
    void TearDown() override {
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS " + dest);
        }
    }

    run_result run(std::vector<std::string> extra) {
        std::vector<std::string> all = {
            "--mssqlh=" + mssql_host(), "--mssqlu=sa",   "--mssqlp=Velmora-Pw1",
            "--src=velmora_modes",      "--mschema=dbo", "--dest=" + dest};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return run_pontrel(all, dir.path());
    }

    std::vector<row> rows(const std::string& select) { return db.query(select); }

    std::string dest;
    mysql_client db;
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// In a table the run creates, two source rows that the destination takes for one key are a
// failure in every mode: the second is reported with its record, key and value, and the first
// keeps its own values. A database that exists (synchronize writes REPLACE there) and one the
// run creates are both covered.
TEST_F(PontrelModes, RowsCollidingInACreatedTableAreReportedInEveryMode) {
    struct case_t {
        const char* mode;
        bool database_exists;
    };
    const std::vector<case_t> cases = {{"--mode=0", false},
                                       {"--mode=3", false},
                                       {"--mode=4", false},
                                       {"--mode=3", true},
                                       {"--mode=4", true}};
    for (const case_t& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.database_exists ? " into an existing database" : ""));
        db.exec("DROP DATABASE IF EXISTS " + dest);
        if (c.database_exists) {
            db.exec("CREATE DATABASE " + dest);
        }
        const run_result result =
            run({c.mode, "--tab_file=" + dir.write("t.txt", "words\npeople\n")});
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_TRUE(has(result.out, "words, record #2: Duplicate field values being used for an "
                                    "unique index were found"))
            << result.out;
        EXPECT_TRUE(has(result.out, "Duplicate entry 'résumé' for key 'PRIMARY'")) << result.out;
        EXPECT_TRUE(has(result.out, "people, record #2: "));
        EXPECT_TRUE(has(result.out, "Duplicate entry 'josé' for key 'UX_people_name'"))
            << result.out;
        EXPECT_FALSE(has(result.out, "were not copied: the table already held")) << result.out;
        EXPECT_EQ(rows("SELECT note FROM " + dest + ".words WHERE w = 'resume'"),
                  std::vector<row>{{"plain"}});
        EXPECT_EQ(rows("SELECT COUNT(*) FROM " + dest + ".words"), std::vector<row>{{"3"}});
        EXPECT_EQ(rows("SELECT id, name FROM " + dest + ".people"),
                  (std::vector<row>{{"1", "jose"}}));
    }
}

// In a table that was there before the run, merge skips and synchronize replaces the rows whose
// key the table holds, and each says how many, per table; the run ends well.
TEST_F(PontrelModes, RowsMatchedInAnExistingTableAreCountedPerTable) {
    const std::string tables = dir.write("t.txt", "words\n");
    ASSERT_EQ(run({"--tab_def", "--tab_file=" + tables}).exit_code, 0);
    db.exec("INSERT INTO " + dest + ".words VALUES ('resume', 'kept'), ('straße', 'kept')");

    const run_result merged = run({"--mode=3", "--tab_file=" + tables});
    EXPECT_EQ(merged.exit_code, 0) << merged.out << merged.err;
    // 'résumé' meets the row 'resume' the table held.
    EXPECT_TRUE(has(merged.out, "words: 3 rows were not copied: the table already held rows "
                                "with their keys."))
        << merged.out;
    EXPECT_EQ(rows("SELECT w, note FROM " + dest + ".words ORDER BY note, w"),
              (std::vector<row>{{"strasse", "double s"}, {"resume", "kept"}, {"straße", "kept"}}));

    const run_result synchronized = run({"--mode=4", "--tab_file=" + tables});
    EXPECT_EQ(synchronized.exit_code, 0) << synchronized.out << synchronized.err;
    // 'strasse' meets the row the merge wrote, which it equals: the server counts no change.
    EXPECT_TRUE(has(synchronized.out, "words: 3 rows already in the table were replaced by "
                                      "copied rows with the same keys."))
        << synchronized.out;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM " + dest + ".words WHERE note = 'kept'"),
              std::vector<row>{{"0"}});
}

// An existing column narrower than the source's values is a structure mismatch in merge and
// synchronize: nothing is written into it. The table the run itself creates takes the rows in
// both modes, with every value as the source has it (rounded to MySQL's 6 fractional digits).
TEST_F(PontrelModes, NarrowerExistingColumnsAreAStructureMismatch) {
    const std::string tables = dir.write("t.txt", "amounts\n");
    ASSERT_EQ(run({"--tab_def", "--tab_file=" + tables}).exit_code, 0);
    const std::string table = dest + ".amounts";
    struct case_t {
        const char* column;
        const char* type;
    };
    const std::vector<case_t> narrower = {
        {"amount", "INT"},
        {"amount", "DECIMAL(10,1)"},
        {"amount", "DECIMAL(9,2)"},
        {"at", "DATE"},
        {"at", "DATETIME"},
        {"at", "TIMESTAMP(6)"},
        {"t", "TIME"},
        {"t", "TIME(3)"},
    };
    for (const char* mode : {"--mode=3", "--mode=4"}) {
        for (const case_t& c : narrower) {
            SCOPED_TRACE(std::string(mode) + " " + c.column + " " + c.type);
            db.exec("DROP TABLE IF EXISTS " + table);
            db.exec("CREATE TABLE " + table +
                    " (id INT PRIMARY KEY, amount DECIMAL(10,2), at DATETIME(6), t TIME(6))");
            db.exec("ALTER TABLE " + table + " MODIFY " + c.column + " " + c.type);
            const run_result result = run({mode, "--tab_file=" + tables});
            EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
            EXPECT_TRUE(has(result.out, "amounts: The structure of data source does not conform "
                                        "to the destination table."))
                << result.out;
            EXPECT_EQ(rows("SELECT COUNT(*) FROM " + table), std::vector<row>{{"0"}});
        }
    }
    db.exec("DROP DATABASE " + dest);
    ASSERT_EQ(run({"--tab_def", "--tab_file=" + tables}).exit_code, 0);
    for (const char* mode : {"--mode=3", "--mode=4"}) {
        SCOPED_TRACE(mode);
        const run_result result = run({mode, "--tab_file=" + tables});
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        EXPECT_EQ(rows("SELECT amount, at, t FROM " + table + " ORDER BY id"),
                  (std::vector<row>{{"19.99", "2024-02-29 13:45:30.123457", "13:45:30.123457"},
                                    {"0.50", "2024-02-29 00:00:00.500000", "00:00:00.500000"}}));
    }
}

// Rows go into an existing table by column name, so each column is judged against the source
// column of its name, wherever it stands. For generated destination tables (the columns in any
// order, each of a type that holds the source's values or of a narrower one) merge and
// synchronize either write every value as the source has it, or report the mismatch and write
// nothing. Before, columns were compared by position: amount INT where the source has id INT took
// 19.99 as 20, exit code 0.
TEST_F(PontrelModes, ExistingColumnsAreJudgedByNameInAnyOrder) {
    const std::string tables = dir.write("t.txt", "amounts\n");
    ASSERT_EQ(run({"--tab_def", "--tab_file=" + tables}).exit_code, 0);
    const std::string table = dest + ".amounts";
    struct column_t {
        const char* name;
        std::vector<const char*> holding;
        std::vector<const char*> narrower;
    };
    const std::vector<column_t> columns = {
        {"id", {"INT", "BIGINT"}, {"SMALLINT", "DECIMAL(10,2)"}},
        {"amount", {"DECIMAL(10,2)", "DECIMAL(11,2)"}, {"INT", "DECIMAL(10,1)"}},
        {"at", {"DATETIME(6)"}, {"DATETIME", "DATE"}},
        {"t", {"TIME(6)"}, {"TIME", "TIME(3)"}},
    };
    struct layout_t {
        std::vector<std::string> clauses; // in table order
        bool holds = true;
    };
    // Two layouts a comparison by position gets wrong, then generated ones.
    std::vector<layout_t> layouts = {
        {{"amount INT", "id DECIMAL(12,2)", "at DATETIME(6)", "t TIME(6)"}, false},
        {{"t TIME(6)", "at DATETIME(6)", "amount DECIMAL(10,2)", "id INT"}, true},
    };
    std::mt19937 random(20240229);
    for (int n = 0; n < 24; ++n) {
        layout_t layout;
        for (const column_t& column : columns) {
            const bool narrow = std::uniform_int_distribution<int>(0, 3)(random) == 0;
            const std::vector<const char*>& types = narrow ? column.narrower : column.holding;
            const std::size_t pick =
                std::uniform_int_distribution<std::size_t>(0, types.size() - 1)(random);
            layout.clauses.push_back(std::string(column.name) + " " + types[pick]);
            layout.holds = layout.holds && !narrow;
        }
        std::shuffle(layout.clauses.begin(), layout.clauses.end(), random);
        layouts.push_back(layout);
    }
    int index = 0;
    for (const layout_t& layout : layouts) {
        const char* mode = index++ % 2 == 0 ? "--mode=3" : "--mode=4";
        std::string definition;
        for (const std::string& clause : layout.clauses) {
            definition += clause + ", ";
        }
        definition += "PRIMARY KEY (id)";
        SCOPED_TRACE(std::string(mode) + " (" + definition + ")");
        db.exec("DROP TABLE IF EXISTS " + table);
        db.exec("CREATE TABLE " + table + " (" + definition + ")");
        const run_result result = run({mode, "--tab_file=" + tables});
        if (layout.holds) {
            EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
            EXPECT_EQ(
                rows("SELECT id, amount, at, t FROM " + table + " ORDER BY id"),
                (std::vector<row>{{"1", "19.99", "2024-02-29 13:45:30.123457", "13:45:30.123457"},
                                  {"2", "0.50", "2024-02-29 00:00:00.500000", "00:00:00.500000"}}));
        } else {
            EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
            EXPECT_TRUE(has(result.out, "amounts: The structure of data source does not conform "
                                        "to the destination table."))
                << result.out;
            EXPECT_EQ(rows("SELECT COUNT(*) FROM " + table), std::vector<row>{{"0"}});
        }
    }
}

// A BINARY(n) column pads every shorter value with zero bytes, so it cannot hold text as it is;
// VARBINARY keeps the text's bytes. Before, BINARY(80) took 'resume' as 'resume' and 74 zero
// bytes, exit code 0.
TEST_F(PontrelModes, FixedLengthBinaryColumnsAreAStructureMismatchForText) {
    const std::string tables = dir.write("t.txt", "words\n");
    ASSERT_EQ(run({"--tab_def", "--tab_file=" + tables}).exit_code, 0);
    const std::string table = dest + ".words";
    struct case_t {
        const char* type;
        bool holds;
    };
    for (const case_t& c : {case_t{"BINARY(80)", false}, case_t{"VARBINARY(80)", true}}) {
        for (const char* mode : {"--mode=3", "--mode=4"}) {
            SCOPED_TRACE(std::string(mode) + " " + c.type);
            db.exec("DROP TABLE IF EXISTS " + table);
            db.exec("CREATE TABLE " + table + " (w " + c.type +
                    " NOT NULL PRIMARY KEY, note VARCHAR(20) NOT NULL)");
            const run_result result = run({mode, "--tab_file=" + tables});
            if (c.holds) {
                EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
                EXPECT_EQ(rows("SELECT w FROM " + table + " WHERE note = 'accented'"),
                          std::vector<row>{{"résumé"}});
            } else {
                EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
                EXPECT_TRUE(has(result.out, "words: The structure of data source does not "
                                            "conform to the destination table."))
                    << result.out;
                EXPECT_EQ(rows("SELECT COUNT(*) FROM " + table), std::vector<row>{{"0"}});
            }
        }
    }
}

} // namespace
