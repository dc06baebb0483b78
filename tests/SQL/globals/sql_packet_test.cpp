// Raising the session's max_allowed_packet: the session runs under the new limit afterwards, and
// the server's global value, which other clients' sessions take, is its own again.
#include "SQL/sql_engi.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using sql_test::exec;
using sql_test::fetch_value;

class SqlPacketLimit : public sql_test::server_test {
protected:
    const char* program_prefix() const override { return "test_SQL_globals_"; }

    void SetUp() override {
        server_test::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        original_ = fetch_value(mysql(), "SELECT @@global.max_allowed_packet");
    }

    void TearDown() override {
        if (engine_ && engine_->connected && !original_.empty()) {
            exec(mysql(), "SET GLOBAL max_allowed_packet=" + original_);
        }
        server_test::TearDown();
    }

    // A fresh session under a global limit of `bytes`.
    void start_with_global_limit(unsigned bytes) {
        exec(mysql(), "SET GLOBAL max_allowed_packet=" + std::to_string(bytes));
        engine_->connect(server_.host, server_.user, server_.password,
                         static_cast<int>(server_.port));
    }

    std::string original_;
};

TEST_F(SqlPacketLimit, RaiseReconnectsSoTheSessionRunsUnderIt) {
    start_with_global_limit(16 * 1024 * 1024);
    auto db = create_db();
    EXPECT_EQ(engine_->get_max_allowed_packet(), 16u * 1024 * 1024);

    EXPECT_EQ(engine_->set_max_allowed_packet(0xC800000), "");

    EXPECT_EQ(engine_->get_max_allowed_packet(), 0xC800000u);
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@session.max_allowed_packet"),
              std::to_string(0xC800000));
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@global.max_allowed_packet"),
              std::to_string(16 * 1024 * 1024));
    // The whole session set-up came back, and the database is selected again.
    EXPECT_EQ(fetch_value(mysql(), "SELECT DATABASE()"), db_name_);
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@character_set_client"), "utf8mb4");
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@session.sql_mode"),
              "NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION");
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@session.foreign_key_checks"), "0");

    // A statement larger than the old limit now passes.
    db->query_append("CREATE TABLE big (b LONGBLOB)");
    std::string insert = "INSERT INTO big VALUES (0x";
    insert.append(2 * 20 * 1024 * 1024, 'A');
    insert += ")";
    EXPECT_NO_THROW(db->query_append(insert));
    EXPECT_EQ(fetch_value(mysql(), "SELECT LENGTH(b) FROM big"), std::to_string(20 * 1024 * 1024));
}

TEST_F(SqlPacketLimit, NeverLowersTheServersValue) {
    start_with_global_limit(64 * 1024 * 1024);
    engine_->set_max_allowed_packet(1024 * 1024);
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@global.max_allowed_packet"),
              std::to_string(64 * 1024 * 1024));
    EXPECT_EQ(engine_->get_max_allowed_packet(), 64u * 1024 * 1024);

    // A second raise to the value in force sends nothing and changes nothing.
    engine_->set_max_allowed_packet(64 * 1024 * 1024);
    EXPECT_EQ(engine_->get_max_allowed_packet(), 64u * 1024 * 1024);
}

} // namespace
