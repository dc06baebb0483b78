// Views of a profile through pontrel into the server and into a script replayed by the mariadb
// client: both take the same views, with the values SQL Server computes, report the same others by
// name, and end with the same exit code.
#include "tests/agent/agent_test_support.h"
#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>

#include <mysql.h>

#include <string>
#include <vector>

namespace {

using agent_test::row;
using agent_test::run_pontrel;

constexpr int exit_failed = 255;

class PontrelViews : public agent_test::tds_suite<PontrelViews> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/views.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    // Each test drops only what it made: ctest runs them side by side.
    void TearDown() override {
        for (const std::string& database : databases) {
            db.exec("DROP DATABASE IF EXISTS " + database);
        }
        if (made_reader) {
            db.exec("DROP USER IF EXISTS 'agent_view_reader'@'127.0.0.1'");
        }
    }

    // A profile reaching the test servers that selects the views, as SQL Server defines them.
    std::vector<std::string> args(std::vector<std::string> extra) const {
        const auto& s = db.server;
        const std::string profile = dir.write(
            "views.vlm",
            profile_head(s) +
                "[Selected Tables]\ndbo.customers\n"
                "[Selected Views]\n"
                "v_values=SELECT name + N' from ' + city AS label, CAST(id AS varchar(5)) + 'x' "
                "AS tag, id / 2 AS half, 7 / 2 AS h, LEN(city + '  ') AS n, CAST(name AS "
                "nvarchar(10)) AS short, DATEADD(day, 1, joined) AS next_day FROM dbo.customers\n"
                "v_priv=SELECT mysql.global_priv.User AS u, mysql.global_priv.Priv AS p FROM "
                "mysql.global_priv\n"
                "v_user=SELECT [User] AS u, [Password] AS h FROM mysql.[user]\n"
                "v_price=SELECT price / 2 AS half FROM dbo.customers\n");
        std::vector<std::string> all = {"--profile=" + profile, "--src=velmora_views", "--views"};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    agent_test::mysql_client db;
    std::vector<std::string> databases = {"agent_views_direct", "agent_views_script"};
    bool made_reader = true;
};

TEST_F(PontrelViews, ServerAndScriptTakeAndRefuseTheSameViews) {
    TearDown();
    const auto direct = run_pontrel(args({"--dest=agent_views_direct"}), dir.path());
    const std::string script = dir.file("views.sql");
    const auto dumped = run_pontrel(args({"--dest=" + script, "--dump"}), dir.path());
    EXPECT_EQ(direct.exit_code, exit_failed) << direct.out << direct.err;
    EXPECT_EQ(dumped.exit_code, direct.exit_code) << dumped.out << dumped.err;
    for (const auto* run : {&direct, &dumped}) {
        const std::string said = run->out + run->err;
        for (const char* refusal :
             {"View 'v_priv': The view reaches outside the destination database: it names "
              "mysql.global_priv.User",
              "View 'v_user': The view reaches outside the destination database: it names "
              "mysql.`user`",
              "View 'v_price': The view cannot be carried over to MySQL: it divides"}) {
            EXPECT_NE(said.find(refusal), std::string::npos) << refusal << "\n" << said;
        }
    }
    db.exec("CREATE DATABASE agent_views_script CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "agent_views_script", script), "");

    const std::vector<row> values = {{"Ann from Oslo", "7x", "3", "3", "4", "Ann", "2024-02-01"}};
    for (const std::string dest : {"agent_views_direct", "agent_views_script"}) {
        SCOPED_TRACE(dest);
        EXPECT_EQ(db.query("SELECT table_name, security_type FROM information_schema.views WHERE "
                           "table_schema = '" +
                           dest + "'"),
                  (std::vector<row>{{"v_values", "INVOKER"}}));
        EXPECT_EQ(db.query("SELECT * FROM " + dest + ".v_values"), values);
    }

    // A reader of the destination alone reads nothing of the server's accounts.
    db.exec("CREATE USER 'agent_view_reader'@'127.0.0.1' IDENTIFIED BY 'Reader-pw9'");
    db.exec("GRANT SELECT ON agent_views_direct.* TO 'agent_view_reader'@'127.0.0.1'");
    MYSQL reader;
    mysql_init(&reader);
    ASSERT_NE(mysql_real_connect(&reader, db.server.host.c_str(), "agent_view_reader", "Reader-pw9",
                                 "agent_views_direct", db.server.port, nullptr, 0),
              nullptr)
        << mysql_error(&reader);
    EXPECT_EQ(mysql_query(&reader, "SELECT * FROM v_values"), 0) << mysql_error(&reader);
    if (MYSQL_RES* res = mysql_store_result(&reader)) {
        mysql_free_result(res);
    }
    EXPECT_NE(mysql_query(&reader, "SELECT User, Priv FROM mysql.global_priv"), 0);
    mysql_close(&reader);
}

// A table that skip mode leaves in place is the destination's table for the views over it, as
// one the run writes is: the views are created, not refused as reaching outside the database.
TEST_F(PontrelViews, ViewsOverATableLeftInPlaceAreCreated) {
    databases = {"agent_views_skip"};
    made_reader = false;
    TearDown();
    ASSERT_EQ(run_pontrel(args({"--dest=agent_views_skip", "--tab_def"}), dir.path()).exit_code,
              exit_failed);
    db.exec("DROP VIEW agent_views_skip.v_values");
    const auto skipped = run_pontrel(args({"--dest=agent_views_skip", "--mode=2"}), dir.path());
    EXPECT_EQ(skipped.out.find("View 'v_values'"), std::string::npos) << skipped.out;
    EXPECT_EQ(db.query("SELECT table_name FROM information_schema.views WHERE table_schema = "
                       "'agent_views_skip'"),
              (std::vector<row>{{"v_values"}}));
}

} // namespace
