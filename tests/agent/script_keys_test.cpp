// Keys of a script's tables as the replaying server compares them: a row that a direct run into
// MariaDB refuses as a duplicate, the script run refuses too, so that the script replays into
// the direct run's rows. MariaDB is the oracle: the direct run's tables, and the replay.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

using table_rows = std::map<std::string, std::vector<row>>;

std::string quoted(const std::string& name) {
    std::string out = "`";
    for (const char c : name) {
        out += c == '`' ? "``" : std::string(1, c);
    }
    return out + "`";
}

// Every table of `database` with its rows, in order.
table_rows rows_of(mysql_client& db, const std::string& database) {
    table_rows tables;
    for (const row& table : db.query("SELECT table_name FROM information_schema.tables WHERE "
                                     "table_schema = '" +
                                     database + "'")) {
        std::vector<row> rows =
            db.query("SELECT * FROM " + quoted(database) + "." + quoted(*table[0]));
        std::sort(rows.begin(), rows.end());
        tables[*table[0]] = std::move(rows);
    }
    return tables;
}

std::string describe(const table_rows& tables) {
    std::string out;
    for (const auto& [table, rows] : tables) {
        out += "\n  " + table + ":";
        for (const row& r : rows) {
            out += " (";
            for (std::size_t i = 0; i < r.size(); ++i) {
                out += (i > 0 ? ", " : "") + r[i].value_or("NULL");
            }
            out += ")";
        }
    }
    return out;
}

class ScriptKeys : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    void TearDown() override {
        for (const std::string& database : used_) {
            db.exec("DROP DATABASE IF EXISTS " + quoted(database));
        }
    }

    std::string fresh(const std::string& database) {
        db.exec("DROP DATABASE IF EXISTS " + quoted(database));
        used_.push_back(database);
        return database;
    }

    run_result run(const tds_server& server, const std::string& source,
                   const std::vector<std::string>& extra) {
        std::vector<std::string> all = {"--mssqlh=127.0.0.1," + std::to_string(server.port()),
                                        "--mssqlu=sa", "--mssqlp=Velmora-Pw1", "--src=" + source,
                                        "--mschema=dbo"};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return run_pontrel(all, dir.path());
    }

    struct outcome {
        run_result direct;
        run_result dumped;
        table_rows direct_rows;
        table_rows replayed_rows;
    };

    // A direct run into `name`_d and a script run replayed into `name`_s, with `options`.
    outcome both_runs(const tds_server& server, const std::string& source, const std::string& name,
                      const std::vector<std::string>& options) {
        outcome result;
        std::vector<std::string> direct_args = options;
        direct_args.push_back("--dest=" + fresh(name + "_d"));
        result.direct = run(server, source, direct_args);
        result.direct_rows = rows_of(db, name + "_d");

        const std::string script = dir.file(name + ".sql");
        std::vector<std::string> dump_args = options;
        dump_args.push_back("--dump");
        dump_args.push_back("--dest=" + script);
        result.dumped = run(server, source, dump_args);
        const std::string replayed = fresh(name + "_s");
        db.exec("CREATE DATABASE " + quoted(replayed) + " CHARACTER SET utf8mb4");
        EXPECT_EQ(test_support::replay_script(db.server, replayed, script), "")
            << "the script does not replay:\n"
            << result.dumped.out;
        result.replayed_rows = rows_of(db, replayed);
        return result;
    }

    mysql_client db;
    agent_test::temp_dir dir;

private:
    std::vector<std::string> used_;
};

// Case, accents, trailing blanks, letters weighed alike, emoji, times past six fractional digits
// or with an offset, variants, columns renamed or told apart by letter case only, keys of two
// columns, several keys, NULLs, a long key as a hash: under each character set the script run
// refuses the rows the direct run refuses, and no others.
TEST_F(ScriptKeys, EveryCharacterSetsScriptReplaysIntoTheDirectRunsRows) {
    tds_server server({std::string(AGENT_FIXTURE_DIR) + "/script_keys.tds"});
    server.start();
    for (const char* charset : {"utf8", "utf8mb4", "latin1", "binary"}) {
        SCOPED_TRACE(charset);
        const outcome runs = both_runs(server, "velmora_script_keys", std::string("sk_") + charset,
                                       {std::string("--charset=") + charset});
        EXPECT_EQ(runs.direct.exit_code, 255) << runs.direct.out;
        EXPECT_EQ(runs.dumped.exit_code, 255) << runs.dumped.out;
        EXPECT_FALSE(runs.direct_rows.empty());
        EXPECT_EQ(runs.replayed_rows, runs.direct_rows)
            << "replayed:" << describe(runs.replayed_rows)
            << "\ndirect:" << describe(runs.direct_rows) << "\n"
            << runs.dumped.out;
    }
}

// Generated keys over characters that the collations fold in different ways. The script may
// refuse more than the server (a pair only one of the collations that it cannot tell apart takes
// for equal), never less: its replay never stops at a duplicate, a table where the direct run
// refused a row loses a row in the script too, and a table the script keeps whole holds the
// direct run's rows.
TEST_F(ScriptKeys, GeneratedKeysNeverStopTheReplay) {
    const std::vector<std::string> pool = {
        "a", "A",         "á", "Á",        "ä", "å", "Å", "[", "s", "S", "ß",  "e",
        "é", "e\xCC\x81", " ", "\xC2\xA0", "æ", "i", "I", "ı", "İ", "ﬁ", "Ａ", "😀",
        "😁", "y",         "ü", "Ü",        "ð", "d", "ø", "o", "Š", "œ"};
    const std::vector<std::string> latin1_pool = {"a", "A", "á", "Á", "ä", "å", "Å", "[",  "s",
                                                  "S", "ß", "e", "é", " ", "æ", "Æ", "\\", "y",
                                                  "ü", "Ü", "ð", "d", "ø", "o", "Š", "š",  "œ"};
    std::mt19937 random(20261213);
    for (const char* charset : {"utf8", "latin1"}) {
        SCOPED_TRACE(charset);
        const std::vector<std::string>& letters =
            std::string(charset) == "latin1" ? latin1_pool : pool;
        std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
        std::uniform_int_distribution<int> length(1, 2);
        const auto key = [&] {
            std::string text;
            for (int n = length(random); n > 0; --n) {
                text += letters[pick(random)];
            }
            return text;
        };
        std::string fixture = "database velmora_generated_keys\ncollation Latin1_General_CS_AS\n"
                              "login sa Velmora-Pw1\n";
        constexpr int tables = 40;
        constexpr int rows = 8;
        for (int t = 0; t < tables; ++t) {
            // Alternately a text key alone, and a number and a text under a unique index.
            fixture += "table dbo.t" + std::to_string(t) +
                       "\ncolumn n int not null\ncolumn k nvarchar(20) not null\n" +
                       (t % 2 == 0 ? "primary key PK_t (k)\n"
                                   : "primary key PK_t (n, k)\nunique index UX_t (k, n)\n");
            for (int r = 0; r < rows; ++r) {
                std::string text = key();
                std::string literal;
                for (const char c : text) {
                    literal += c == '\'' ? "''" : std::string(1, c);
                }
                fixture +=
                    "row " + std::to_string(t % 2 == 0 ? r : r % 2) + ", N'" + literal + "'\n";
            }
            fixture += "end\n";
        }
        tds_server server({dir.write(std::string("generated_") + charset + ".tds", fixture)});
        server.start();
        const outcome runs =
            both_runs(server, "velmora_generated_keys", std::string("gk_") + charset,
                      {std::string("--charset=") + charset});
        for (int t = 0; t < tables; ++t) {
            const std::string table = "t" + std::to_string(t);
            SCOPED_TRACE(table);
            const std::vector<row>& direct = runs.direct_rows.at(table);
            const auto replayed = runs.replayed_rows.find(table);
            ASSERT_NE(replayed, runs.replayed_rows.end());
            if (direct.size() < rows) {
                EXPECT_LT(replayed->second.size(), rows);
            }
            if (replayed->second.size() == rows) {
                EXPECT_EQ(replayed->second, direct);
            }
        }
        if (runs.direct.exit_code != 0) {
            EXPECT_EQ(runs.dumped.exit_code, 255);
        }
    }
}

} // namespace
