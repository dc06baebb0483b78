// Keys longer than MySQL's key limit, through pontrel into MariaDB and into a script replayed
// with the mariadb client: every key that can be enforced is, and what cannot be is reported.
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

class PontrelLongKeys : public agent_test::tds_suite<PontrelLongKeys> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/long_keys.tds"};
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        dest = std::string("lk_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        db.exec("DROP DATABASE IF EXISTS " + dest);
    }
    void TearDown() override {
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS " + dest);
        }
    }

    run_result run(std::vector<std::string> extra, bool to_server = true) {
        std::vector<std::string> all = {"--mssqlh=" + mssql_host(), "--mssqlu=sa",
                                        "--mssqlp=Velmora-Pw1", "--src=velmora_keys",
                                        "--mschema=dbo"};
        if (to_server) {
            all.push_back("--dest=" + dest);
            for (const std::string& a : db.pontrel_args()) {
                all.push_back(a);
            }
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return run_pontrel(all, dir.path());
    }

    // Whether the server refuses the row: the keys that stand are enforced.
    bool refused(const std::string& values) {
        MYSQL* m = mysql_init(nullptr);
        const auto& s = db.server;
        const bool connected =
            mysql_real_connect(m, s.host.c_str(), s.user.c_str(), s.password.c_str(), dest.c_str(),
                               s.port, nullptr, 0) != nullptr;
        const std::string statement = "INSERT INTO people (code, email, note) VALUES " + values;
        const bool failed = connected &&
                            mysql_real_query(m, statement.data(), statement.size()) != 0 &&
                            mysql_errno(m) == 1062;
        mysql_close(m);
        return failed;
    }

    void expect_keys_enforced() {
        // The unique index compares with the column's collation, as SQL Server did.
        EXPECT_TRUE(refused("('c', 'A@example.org', NULL)"));
        EXPECT_FALSE(refused("('c', 'c@example.org', NULL)"));
        EXPECT_EQ(db.query("SELECT COUNT(*) FROM " + dest + ".people"), std::vector<row>{{"3"}});
    }

    std::string dest;
    mysql_client db;
};

TEST_F(PontrelLongKeys, IntoTheServerEveryEnforceableKeyStandsAndTheRestIsReported) {
    const run_result first = run({});
    EXPECT_EQ(first.exit_code, 255) << first.out << first.err;
    EXPECT_NE(first.out.find("The primary key 'PK_people' was not created: its key takes 4000 "
                             "bytes, more than the 3072 bytes"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(first.out.find("UX_people_email"), std::string::npos) << first.out;
    EXPECT_EQ(first.out.find("IX_people_note"), std::string::npos) << first.out;
    const auto indexes = db.query("SELECT index_name, non_unique, index_type, sub_part FROM "
                                  "information_schema.statistics WHERE table_schema = '" +
                                  dest + "' ORDER BY index_name");
    EXPECT_EQ(indexes, (std::vector<row>{{"IX_people_note", "1", "BTREE", "768"},
                                         {"PK_people", "0", "HASH", std::nullopt},
                                         {"UX_people_email", "0", "HASH", std::nullopt}}));
    // The stand-in for the primary key refuses a code taken.
    EXPECT_TRUE(refused("('a', 'z@example.org', NULL)"));
    expect_keys_enforced();

    // Synchronize matches the rows by key instead of appending them again.
    const run_result again = run({"--mode=4"});
    EXPECT_EQ(again.exit_code, 0) << again.out << again.err;
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM " + dest + ".people"), std::vector<row>{{"3"}});
}

TEST_F(PontrelLongKeys, AScriptCarriesTheLongUniqueKeysForMariaDB) {
    const std::string script = dir.file(dest + ".sql");
    const run_result result = run({"--dump", "--dest=" + script}, false);
    EXPECT_EQ(result.exit_code, 255) << result.out << result.err;
    EXPECT_NE(result.out.find("The unique index 'UX_people_email' is written for MariaDB 10.4 and "
                              "later only"),
              std::string::npos)
        << result.out;
    db.exec("CREATE DATABASE " + dest);
    EXPECT_EQ(test_support::replay_script(db.server, dest, script), "");
    EXPECT_TRUE(refused("('a', 'z@example.org', NULL)"));
    expect_keys_enforced();
}

} // namespace
