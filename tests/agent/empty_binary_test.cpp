// pontrel over a source with binary values of zero bytes and a query SQL Server will not count:
// into MariaDB and into a script file replayed with the mariadb client, value by value. And the
// FreeTDS environment variables that would override the program's port and TDS version.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::temp_dir;

constexpr std::uint32_t tds_7_4 = 0x74000004;

class EmptyBinaryRun : public agent_test::tds_suite<EmptyBinaryRun> {
public:
    static std::vector<std::string> fixture_files() {
        return {tds_fixture_dir() + "/empty_binary.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    void TearDown() override {
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        }
    }

    // A profile with the table and the ordered query, reaching both test servers.
    std::string profile() const {
        const auto& s = db.server;
        return dir.write("blobs.vlm",
                         profile_head(s) +
                             "[Generic settings]\nsrc=velmora_empty_binary\n"
                             "[Selected Tables]\ndbo.blobs\n"
                             "ordered=SELECT id, small_req, big_req FROM dbo.blobs ORDER BY id "
                             "DESC\n");
    }

    // Replays a script file into `database` with the mariadb client; its output on failure.
    std::string replay(const std::string& script) {
        return test_support::replay_script(db.server, database, script);
    }

    // Every value as its hexadecimal digits: "" for zero bytes, nullopt for NULL.
    void expect_values() {
        const std::vector<row> blobs = {
            {"1", "", "", "", "", ""},
            {"2", std::nullopt, "00", std::nullopt, "00FF", std::nullopt},
            {"3", "AB", "", "CDEF", "", "01"},
        };
        EXPECT_EQ(db.query("SELECT id, HEX(small_null), HEX(small_req), HEX(big_null), "
                           "HEX(big_req), HEX(img) FROM `" +
                           database + "`.`dbo.blobs` WHERE id < 4 ORDER BY id"),
                  blobs);
        // Zero bytes beside a long value, which a server receives as long data.
        const std::vector<row> beside_long = {{"", "", "1200000", "ABCD", "ABCD", "", ""}};
        EXPECT_EQ(db.query("SELECT HEX(small_null), HEX(small_req), LENGTH(big_null), "
                           "HEX(LEFT(big_null, 2)), HEX(RIGHT(big_null, 2)), HEX(big_req), "
                           "HEX(img) FROM `" +
                           database + "`.`dbo.blobs` WHERE id = 4"),
                  beside_long);
        const std::vector<row> ordered = {
            {"1", "", ""}, {"2", "00", "00FF"}, {"3", "", ""}, {"4", "", ""}};
        EXPECT_EQ(db.query("SELECT id, HEX(small_req), HEX(big_req) FROM `" + database +
                           "`.ordered ORDER BY id"),
                  ordered);
        // The zero-byte values went into NOT NULL columns.
        const std::vector<row> required = {{"big_req", "NO"}, {"small_req", "NO"}};
        EXPECT_EQ(db.query("SELECT column_name, is_nullable FROM information_schema.columns "
                           "WHERE table_schema = '" +
                           database +
                           "' AND table_name = 'ordered' AND column_name LIKE '%req' "
                           "ORDER BY column_name"),
                  required);
    }

    mysql_client db;
    // One database per test: ctest runs the tests of this suite side by side.
    const std::string database =
        "agent_eb_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name());
};

const char* const expected_progress = "Converting database 'velmora_empty_binary' (2 tables)\n"
                                      "Converting table [dbo].[blobs] (4 records)\n"
                                      "Converting table ordered (number of records unknown)\n";

TEST_F(EmptyBinaryRun, ZeroBytesAndAnUncountedQueryArriveInMariaDB) {
    db.exec("DROP DATABASE IF EXISTS `" + database + "`");
    const auto result = run_pontrel({"--profile=" + profile(), "--dest=" + database}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, expected_progress);
    EXPECT_EQ(result.err, "");
    expect_values();
}

TEST_F(EmptyBinaryRun, ZeroBytesAndAnUncountedQueryArriveThroughAScript) {
    const std::string script = dir.file("blobs.sql");
    const auto result = run_pontrel(
        {"--profile=" + profile(), "--dump", "--dest=" + script, "--mysqlh=127.0.0.1", "--port=1"},
        dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, expected_progress);
    db.exec("DROP DATABASE IF EXISTS `" + database + "`");
    db.exec("CREATE DATABASE `" + database + "` CHARACTER SET utf8mb4");
    EXPECT_EQ(replay(script), "");
    expect_values();
}

// FreeTDS would let these variables override the port and TDS version the program asks for:
// a wrong port fails the login, TDS 7.0 has no date, time or max types.
TEST_F(EmptyBinaryRun, FreeTdsEnvironmentDoesNotOverrideTheConnection) {
    const std::vector<std::vector<std::string>> environments = {
        {"TDSPORT=1"},
        {"TDSVER=7.0"},
        {"TDSPORT=1", "TDSVER=7.0"},
    };
    for (const auto& env : environments) {
        SCOPED_TRACE(testing::PrintToString(env));
        const std::size_t logins_before = server->login_versions().size();
        const auto result =
            run_pontrel({"--mssqlh=127.0.0.1," + std::to_string(server->port()), "--mssqlu=sa",
                         "--mssqlp=Velmora-Pw1", "--src=velmora_empty_binary", "--dump",
                         "--dest=" + dir.file("env.sql"), "--mysqlh=127.0.0.1", "--port=1"},
                        dir.path(), env);
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        const std::vector<std::uint32_t> versions = server->login_versions();
        EXPECT_GT(versions.size(), logins_before) << "no login reached the server";
        for (std::size_t i = logins_before; i < versions.size(); ++i) {
            EXPECT_EQ(versions[i], tds_7_4) << "login " << i;
        }
    }
}

} // namespace
