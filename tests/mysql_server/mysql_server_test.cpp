// The test server answers through the MySQL C client API with the test user.
#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <memory>
#include <string>

namespace {

struct mysql_closer {
    void operator()(MYSQL* m) const { mysql_close(m); }
};

TEST(MysqlTestServer, ConnectsOverTcpAndReportsItsVersion) {
    auto server = test_support::mysql_server_from_env();
    ASSERT_FALSE(server.host.empty());
    std::unique_ptr<MYSQL, mysql_closer> conn(mysql_init(nullptr));
    ASSERT_TRUE(conn);
    ASSERT_TRUE(mysql_real_connect(conn.get(), server.host.c_str(), server.user.c_str(),
                                   server.password.c_str(), nullptr, server.port, nullptr, 0))
        << mysql_error(conn.get());
    EXPECT_GE(mysql_get_server_version(conn.get()), 100000u) << mysql_get_server_info(conn.get());

    ASSERT_EQ(mysql_query(conn.get(), "SELECT @@character_set_server, @@max_allowed_packet"), 0)
        << mysql_error(conn.get());
    MYSQL_RES* res = mysql_store_result(conn.get());
    ASSERT_NE(res, nullptr);
    MYSQL_ROW row = mysql_fetch_row(res);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(std::string(row[0]), "utf8mb4");
    EXPECT_EQ(std::string(row[1]), std::to_string(1024 * 1024 * 1024));
    mysql_free_result(res);
}

} // namespace
