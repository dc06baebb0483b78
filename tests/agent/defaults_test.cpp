// Function defaults and changed value types, from the TDS test server into the MariaDB test
// server and into a replayed script file: later INSERTs that rely on the defaults store what the
// source would have stored, and every converted value arrives as it was.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;
using agent_test::temp_dir;

constexpr int exit_failed = 255;

class PontrelDefaults : public agent_test::tds_suite<PontrelDefaults> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/defaults.tds",
                std::string(AGENT_FIXTURE_DIR) + "/lost_defaults.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    void TearDown() override {
        for (const std::string& database : used_) {
            db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        }
    }

    run_result run(std::vector<std::string> extra, const std::string& source = "velmora_defaults") {
        std::vector<std::string> all = {"--mssqlh=" + mssql_host(), "--mssqlu=sa",
                                        "--mssqlp=Velmora-Pw1", "--src=" + source};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return run_pontrel(all, dir.path());
    }

    void drop(const std::string& database) {
        db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        used_.push_back(database);
    }

    // Replays a script file into a new database with the mariadb client; its output on failure.
    void replay(const std::string& script, const std::string& database) {
        drop(database);
        db.exec("CREATE DATABASE `" + database + "` CHARACTER SET utf8mb4");
        ASSERT_EQ(test_support::replay_script(db.server, database, script), "");
    }

    std::vector<row> column_defaults(const std::string& database, const std::string& table) {
        return db.query("SELECT column_name, column_default FROM information_schema.columns "
                        "WHERE table_schema = '" +
                        database + "' AND table_name = '" + table + "' ORDER BY ordinal_position");
    }

    // The converted row, value by value, then a row that takes every default.
    void expect_events(const std::string& database) {
        const std::string table = "`" + database + "`.`dbo.events`";
        const std::vector<row> converted = {
            {"1", "6F9619FF-8B86-D011-B42D-00C04FC964FF", "00000000-0000-0000-0000-0000000000A1",
             "2024-02-29 13:45:30.997", "2024-02-29 13:45:30.123", "2024-02-29 13:45:30",
             "2024-02-29", "13:45:30.123", "2024-02-29 12:45:30.123", "2024-02-29 12:45:30.000"},
        };
        EXPECT_EQ(db.query("SELECT * FROM " + table), converted);

        // The exact defaults, in MariaDB's own spelling.
        const std::vector<row> defaults = {
            {"id", std::nullopt},
            {"guid", "ucase(uuid())"},
            {"seq", "ucase(uuid())"},
            {"made", "current_timestamp(3)"},
            {"made_fine", "current_timestamp(3)"},
            {"made_std", "current_timestamp()"},
            {"made_day", "curdate()"},
            {"made_time", "curtime(3)"},
            {"made_utc", "utc_timestamp(3)"},
            {"made_utc_old", "utc_timestamp(3)"},
        };
        EXPECT_EQ(column_defaults(database, "dbo.events"), defaults);

        // A session five hours ahead of UTC tells local time from UTC.
        db.exec("SET time_zone = '+05:00'");
        db.exec("INSERT INTO " + table + " (id) VALUES (2), (3)");
        const auto checks = db.query(
            "SELECT guid REGEXP BINARY '^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$', guid <> seq, "
            "ABS(TIMESTAMPDIFF(SECOND, made, NOW())) < 120, "
            "ABS(TIMESTAMPDIFF(SECOND, made_fine, NOW())) < 120, "
            "ABS(TIMESTAMPDIFF(SECOND, made_std, NOW())) < 120, "
            "made_day BETWEEN CURDATE() - INTERVAL 1 DAY AND CURDATE(), "
            "ABS(TIMESTAMPDIFF(SECOND, TIMESTAMP(CURDATE(), made_time), NOW())) < 120 OR "
            "ABS(TIMESTAMPDIFF(SECOND, TIMESTAMP(CURDATE(), made_time), NOW())) > 86280, "
            "ABS(TIMESTAMPDIFF(SECOND, made_utc, UTC_TIMESTAMP())) < 120, "
            "ABS(TIMESTAMPDIFF(SECOND, made_utc_old, UTC_TIMESTAMP())) < 120 "
            "FROM " +
            table + " WHERE id > 1");
        const row all_true(9, std::optional<std::string>("1"));
        EXPECT_EQ(checks, (std::vector<row>{all_true, all_true}));
        const auto guids = db.query("SELECT COUNT(DISTINCT guid) FROM " + table);
        EXPECT_EQ(guids, (std::vector<row>{{"3"}})) << "every row gets a GUID of its own";
        db.exec("SET time_zone = SYSTEM");
    }

    mysql_client db;

private:
    std::vector<std::string> used_;
};

TEST_F(PontrelDefaults, FunctionDefaultsReachTheServer) {
    drop("h19_server");
    const auto result = run({"--dest=h19_server"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    expect_events("h19_server");
}

TEST_F(PontrelDefaults, FunctionDefaultsReplayFromTheScript) {
    const std::string script = dir.file("defaults.sql");
    const auto result = run({"--dump", "--dest=" + script});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::string text = agent_test::read_file(script);
    // The forms that no server of the script's range fails on: MySQL and MariaDB before 10.2.1
    // create the column without the default.
    for (const char* clause : {
             "`guid` VARCHAR(36) CHARACTER SET utf8 NOT NULL /*M!100201 DEFAULT (upper(uuid())) */",
             "`made_day` DATE NOT NULL /*M!100201 DEFAULT (curdate()) */",
             "`made_time` TIME/*!50604 (3) */ NOT NULL /*M!100201 DEFAULT (curtime(3)) */",
             "`made_utc` DATETIME/*!50604 (3) */ NOT NULL /*M!100201 DEFAULT (utc_timestamp(3)) */",
             "`made_std` DATETIME NOT NULL /*!50605 DEFAULT CURRENT_TIMESTAMP */",
         }) {
        EXPECT_NE(text.find(clause), std::string::npos) << clause << "\n" << text;
    }
    EXPECT_EQ(text.find("/*!80013"), std::string::npos);
    replay(script, "h19_script");
    expect_events("h19_script");
}

// A default that is an expression, too long for its column or of a type MySQL gives no default
// is reported with its table and column, and the column gets none: never a guess such as 0.
TEST_F(PontrelDefaults, DefaultsNoDestinationTakesAreReportedNotGuessed) {
    const std::string script = dir.file("lost.sql");
    for (const std::string& dest : {std::string("h19_lost"), script}) {
        SCOPED_TRACE(dest);
        std::vector<std::string> options = {"--mschema=dbo", "--dest=" + dest};
        if (dest == script) {
            options.push_back("--dump");
        } else {
            drop(dest);
        }
        const auto result = run(options, "velmora_lost_defaults");
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        for (const char* expected : {
                 "The default value (dateadd(day,(1),getdate())) of column 'tomorrow' is left "
                 "out: it is neither a constant nor a current-time function",
                 "The default value (CONVERT([date],getdate())) of column 'today' is left out",
                 "The default value (abs((-1))) of column 'minus' is left out",
                 "The default value (CONVERT([bit],(1))) of column 'flag' is left out",
                 "The default value (N'toolong') of column 'code' is left out: it is longer than "
                 "the column",
                 "The default value '0x00' of column 'raw' is left out: MySQL has no form of it",
             }) {
            EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n"
                                                                    << result.out;
        }
    }
    replay(script, "h19_lost_script");
    for (const char* database : {"h19_lost", "h19_lost_script"}) {
        EXPECT_EQ(db.query("SELECT column_name, column_default FROM information_schema.columns "
                           "WHERE table_schema = '" +
                           std::string(database) +
                           "' AND column_name <> 'id' ORDER BY ordinal_position"),
                  (std::vector<row>{{"tomorrow", "NULL"},
                                    {"today", "NULL"},
                                    {"minus", "NULL"},
                                    {"flag", "NULL"},
                                    {"code", "NULL"},
                                    {"raw", "NULL"},
                                    {"kept", "-1"}}))
            << database;
    }
}

// Numbers merged into existing text columns arrive as the server writes them. The columns are
// as wide as the longest value of each type (a narrower one is a structure mismatch): the real
// 0.1 arrives with the nine digits that give its value back, where a VARCHAR(3) used to cut it.
TEST_F(PontrelDefaults, NumbersMergedIntoTextColumnsKeepTheirOwnType) {
    drop("h19_merge");
    db.exec("CREATE DATABASE h19_merge");
    db.exec("CREATE TABLE h19_merge.`dbo.readings` (id INT PRIMARY KEY, amount VARCHAR(24), "
            "ratio VARCHAR(15), count_text VARCHAR(20))");
    const auto result = run({"--dest=h19_merge", "--mode=3"});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::vector<row> expected = {
        {"1", "2.5", "0.100000001", "42"},
        {"2", "-0.000000125", "3", "-2147483648"},
        {"3", std::nullopt, std::nullopt, std::nullopt},
    };
    EXPECT_EQ(db.query("SELECT * FROM h19_merge.`dbo.readings` ORDER BY id"), expected);
}

// A user's change of a text column to INT: whole numbers convert; any other text fails that
// table, whose later rows are not copied, and the run ends with failure.
TEST_F(PontrelDefaults, TextChangedToIntegerConvertsOrFailsTheTable) {
    drop("h19_typed");
    auto change_to_int = [](const char* table) {
        return std::string("  - name: ") + table + "\n    new_name: " + table + "\n    fields:\n" +
               agent_test::type_mapping_field({"count_text", "INT", 11, 0, 0, ""});
    };
    const auto& s = db.server;
    const std::string profile =
        dir.write("typed.vlm", profile_head(s) +
                                   "[Generic settings]\nsrc=velmora_defaults\ndest=h19_typed\n"
                                   "[Type Mappings]\ndatabase:\ntables:\n" +
                                   change_to_int("dbo.readings") + change_to_int("dbo.bad_counts"));
    const auto result = run_pontrel({"--profile=" + profile}, dir.path());
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("Error:\ndbo.bad_counts: Data conversion is not supported for "
                              "given type mapping The rows up to record #1 are in the table; later "
                              "ones were not copied.\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(db.query("SELECT data_type FROM information_schema.columns WHERE table_schema = "
                       "'h19_typed' AND table_name = 'dbo.readings' AND column_name = "
                       "'count_text'"),
              (std::vector<row>{{"int"}}));
    const std::vector<row> readings = {{"1", "42"}, {"2", "-2147483648"}, {"3", std::nullopt}};
    EXPECT_EQ(db.query("SELECT id, count_text FROM h19_typed.`dbo.readings` ORDER BY id"),
              readings);
    EXPECT_EQ(db.query("SELECT id, count_text FROM h19_typed.`dbo.bad_counts` ORDER BY id"),
              (std::vector<row>{{"1", "7"}}));
}

} // namespace
