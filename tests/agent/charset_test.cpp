// A destination character set that cannot store some source text: a direct run refuses those
// rows one by one, and a script run refuses the same rows, with the same exit code, instead of
// writing INSERTs whose replay stops at the first of them.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

constexpr int exit_failed = 255;

class PontrelCharset : public agent_test::tds_suite<PontrelCharset> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/charset.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    void TearDown() override {
        for (const std::string& database : used_) {
            db.exec("DROP DATABASE IF EXISTS " + database);
        }
    }
    std::string fresh(const std::string& database) {
        db.exec("DROP DATABASE IF EXISTS " + database);
        used_.push_back(database);
        return database;
    }
    run_result run(const std::vector<std::string>& extra) {
        std::vector<std::string> all = {"--mssqlh=" + mssql_host(), "--mssqlu=sa",
                                        "--mssqlp=Velmora-Pw1", "--src=velmora_charset",
                                        "--mschema=dbo"};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return run_pontrel(all, dir.path());
    }
    std::vector<row> words(const std::string& database) {
        return db.query("SELECT id, w, note FROM " + database + ".words ORDER BY id");
    }

    std::vector<row> kana(const std::string& database) {
        return db.query("SELECT id, w FROM " + database + ".kana ORDER BY id");
    }

    std::vector<row> notes(const std::string& database) {
        return db.query("SELECT id, CHAR_LENGTH(body), title FROM " + database +
                        ".notes ORDER BY id");
    }

    mysql_client db;

private:
    std::vector<std::string> used_;
};

TEST_F(PontrelCharset, ScriptRefusesTheRowsTheServerRefuses) {
    const run_result direct = run({"--dest=" + fresh("cs_direct"), "--charset=latin1"});
    EXPECT_EQ(direct.exit_code, exit_failed) << direct.out << direct.err;

    const std::vector<row> kept = {
        {"1", "café", "plain"}, {"2", "€uro", std::nullopt}, {"4", "plain", "ÿ"}};
    EXPECT_EQ(words("cs_direct"), kept);
    const std::vector<row> kept_notes = {{"2", "1100000", "fine"}};
    EXPECT_EQ(notes("cs_direct"), kept_notes);

    const std::string script = dir.file("latin1.sql");
    const run_result dumped = run({"--dump", "--dest=" + script, "--charset=latin1"});
    EXPECT_EQ(dumped.exit_code, direct.exit_code) << dumped.out << dumped.err;
    EXPECT_NE(dumped.out.find("words, record #3: The value of column 'w' holds the character "
                              "U+03A9, which the character set latin1 cannot store"),
              std::string::npos)
        << dumped.out;
    EXPECT_NE(dumped.out.find("words, record #5: The value of column 'note' holds the "
                              "character U+1F600"),
              std::string::npos)
        << dumped.out;
    // The value that cannot be stored follows one written in slices.
    EXPECT_NE(dumped.out.find("notes, record #1: The value of column 'title' holds the character "
                              "U+03A9"),
              std::string::npos)
        << dumped.out.substr(0, 4000);

    const std::string database = fresh("cs_script");
    db.exec("CREATE DATABASE " + database + " CHARACTER SET latin1");
    ASSERT_EQ(test_support::replay_script(db.server, database, script), "");
    EXPECT_EQ(words(database), kept);
    EXPECT_EQ(notes(database), kept_notes);
}

// Values over 1 MiB travel apart from the statement (a direct run sends them as long data): they
// arrive as the same characters whatever the set, as the short ones beside them do.
TEST_F(PontrelCharset, LongValuesArriveAsTextInEverySet) {
    for (const char* charset : {"utf16", "ucs2", "utf32", "latin1"}) {
        SCOPED_TRACE(charset);
        const std::string database = fresh(std::string("cs_long_") + charset);
        const std::string tables = "--tab_file=" + dir.write("notes.txt", "[dbo].[notes]\n");
        const run_result direct =
            run({"--dest=" + database, std::string("--charset=") + charset, tables});
        const auto bodies_in = [&](const std::string& in) {
            return db.query(
                "SELECT id, CHAR_LENGTH(body), body = REPEAT(IF(id = 1, 'a', 'b'), 1100000) "
                "FROM " +
                in + ".notes ORDER BY id");
        };
        const std::vector<row> bodies = bodies_in(database);
        // latin1 cannot store the first row's title.
        const std::vector<row> expected =
            std::string(charset) == "latin1"
                ? std::vector<row>{{"2", "1100000", "1"}}
                : std::vector<row>{{"1", "1100000", "1"}, {"2", "1100000", "1"}};
        EXPECT_EQ(bodies, expected) << direct.out << direct.err;

        const std::string script = dir.file(std::string("long_") + charset + ".sql");
        run({"--dump", "--dest=" + script, std::string("--charset=") + charset, tables});
        const std::string replayed = fresh(std::string("cs_long_s_") + charset);
        db.exec("CREATE DATABASE " + replayed);
        ASSERT_EQ(test_support::replay_script(db.server, replayed, script), "");
        EXPECT_EQ(bodies_in(replayed), expected);
    }
}

// A multi-byte set: the script refuses the rows whose text sjis cannot store, the row with the
// character that only the C library's table has among them, as the server refuses them.
TEST_F(PontrelCharset, MultiByteScriptRefusesTheRowsTheServerRefuses) {
    const run_result direct = run({"--dest=" + fresh("cs_sjis_direct"), "--charset=sjis"});
    EXPECT_EQ(direct.exit_code, exit_failed) << direct.out << direct.err;
    const std::vector<row> kept = {{"1", "日本語"}, {"4", "ｶﾀｶﾅ ≒ Ω"}, {"5", "C:\\dir ~"}};
    EXPECT_EQ(kana("cs_sjis_direct"), kept);

    const std::string script = dir.file("sjis.sql");
    const run_result dumped = run({"--dump", "--dest=" + script, "--charset=sjis"});
    EXPECT_EQ(dumped.exit_code, direct.exit_code) << dumped.out << dumped.err;
    for (const char* refusal :
         {"kana, record #2: The value of column 'w' holds the character U+D55C, which the "
          "character set sjis cannot store",
          "kana, record #3: The value of column 'w' holds the character U+FF3C"}) {
        EXPECT_NE(dumped.out.find(refusal), std::string::npos) << refusal << "\n" << dumped.out;
    }

    const std::string database = fresh("cs_sjis_script");
    db.exec("CREATE DATABASE " + database + " CHARACTER SET sjis");
    ASSERT_EQ(test_support::replay_script(db.server, database, script), "");
    EXPECT_EQ(kana(database), kept);
    EXPECT_EQ(words(database), words("cs_sjis_direct"));
    EXPECT_EQ(notes(database), notes("cs_sjis_direct"));
}

// A character set no server offers: a direct run stops at its CREATE DATABASE, and a script run
// is refused before anything is written, instead of ending well with a script whose replay stops
// at its first CREATE TABLE.
TEST_F(PontrelCharset, ScriptRefusesASetNoServerOffers) {
    for (const char* charset : {"nosuchset", "utf8mb4_bin", "latin"}) {
        SCOPED_TRACE(charset);
        const run_result direct =
            run({"--dest=" + fresh("cs_unknown"), std::string("--charset=") + charset});
        EXPECT_EQ(direct.exit_code, exit_failed) << direct.out << direct.err;

        const std::string script = dir.file("unknown.sql");
        const run_result dumped =
            run({"--dump", "--dest=" + script, std::string("--charset=") + charset});
        EXPECT_EQ(dumped.exit_code, exit_failed) << dumped.out << dumped.err;
        EXPECT_NE(dumped.out.find(std::string("The character set '") + charset +
                                  "' is not one that MySQL or MariaDB servers offer"),
                  std::string::npos)
            << dumped.out;
        EXPECT_FALSE(std::filesystem::exists(script));
    }
}

// A type mapping names its type in any letter case, as the profile's check reads it: the column
// still gets its length and the run's character set, and the script refuses the rows that the
// direct run refuses. A type the mapping wrote in lower case used to leave the column to the
// replaying database's character set, unjudged (or without its length, so that no CREATE TABLE
// of it ran).
TEST_F(PontrelCharset, MappedTextTypesInAnyLetterCaseTakeTheSet) {
    const auto& s = db.server;
    for (const char* type : {"text", "Varchar", "char", "long", "tinytext"}) {
        SCOPED_TRACE(type);
        const std::string profile = dir.write(
            "mapped.vlm", profile_head(s) +
                              "schema=dbo\n"
                              "[Generic settings]\nsrc=velmora_charset\ncharacter set=latin1\n"
                              "[Selected Tables]\ndbo.words\n[Type Mappings]\ndatabase:\ntables:\n"
                              "  - name: dbo.words\n    new_name: dbo.words\n    fields:\n" +
                              agent_test::type_mapping_field({"w", type, 20, 0, 0, ""}));
        const run_result direct =
            run_pontrel({"--profile=" + profile, "--dest=" + fresh("cs_mapped")}, dir.path());
        EXPECT_EQ(direct.exit_code, exit_failed) << direct.out << direct.err;
        const std::vector<row> kept = {
            {"1", "café", "plain"}, {"2", "€uro", std::nullopt}, {"4", "plain", "ÿ"}};
        EXPECT_EQ(words("cs_mapped"), kept);

        const std::string script = dir.file("mapped.sql");
        const run_result dumped =
            run_pontrel({"--profile=" + profile, "--dump", "--dest=" + script}, dir.path());
        EXPECT_EQ(dumped.exit_code, exit_failed) << dumped.out << dumped.err;
        // The replaying database's own set is another: the column must name latin1 itself.
        const std::string database = fresh("cs_mapped_script");
        db.exec("CREATE DATABASE " + database + " CHARACTER SET utf8mb4");
        EXPECT_EQ(test_support::replay_script(db.server, database, script), "");
        EXPECT_EQ(words(database), kept);
    }
}

} // namespace
