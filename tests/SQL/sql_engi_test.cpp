// The MySQL engine: version rules, names, validators and lists without a server; connection,
// session and databases on the MariaDB test server.
#include "SQL/sql_engi.h"

#include "SQL/sql_db.h"
#include "UDB/sql_vali.h"
#include "TK/tk_log.h"
#include "UDB/udb_field.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <map>
#include <memory>
#include <string>

namespace {

using sql_test::exec;
using sql_test::fetch_value;
using sql_test::offline_engine;

TEST(SqlEngineOffline, VersionTexts) {
    struct version_case {
        const char* text;
        uint32_t word;
    };
    const version_case cases[] = {
        {"5.7.44-log", 5 * 65536 + 7 * 256 + 44},
        {"8.0.35", 8 * 65536 + 35},
        {"10.11.6-MariaDB-0+deb12u1", 0x0A0B06},
        // Old clients see MariaDB behind the replication prefix.
        {"5.5.5-10.11.6-MariaDB", 0x0A0B06},
        {"5.5.5-10.2.1-MariaDB-log", 0x0A0201},
        {"5.5.5", 0x050505},
        {"5.5.5-log", 0x050505},
        {"4.1.0-alpha", 0x040100},
        {"5.7", 0},
        {"", 0},
        {"MariaDB", 0},
    };
    for (const version_case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(sql_parse_version(c.text), c.word);
    }
}

// Out of disk or memory, every later statement fails alike: such errors must not be taken for a
// fault of one row.
TEST(SqlEngineOffline, HowFarAFailureReaches) {
    struct reach_case {
        int number;
        sql_failure_reach reach;
    };
    const reach_case cases[] = {
        {1062, sql_failure_reach::row},        {1366, sql_failure_reach::row},
        {1114, sql_failure_reach::table},      {1030, sql_failure_reach::table},
        {1038, sql_failure_reach::table},      {1146, sql_failure_reach::table},
        {3, sql_failure_reach::server},        {1021, sql_failure_reach::server},
        {1037, sql_failure_reach::server},     {1041, sql_failure_reach::server},
        {2013, sql_failure_reach::connection}, {1927, sql_failure_reach::connection},
    };
    for (const reach_case& c : cases) {
        EXPECT_EQ(sql_failure_reach_of(0x400000 + c.number), c.reach) << c.number;
    }
    // Codes of other layers are the row's.
    EXPECT_EQ(sql_failure_reach_of(1114), sql_failure_reach::row);
}

TEST(SqlEngineOffline, AuthenticationRuleOfVersion410) {
    EXPECT_TRUE(sql_engine::auth_not_supported(0x40100, "secret"));
    EXPECT_FALSE(sql_engine::auth_not_supported(0x40100, ""));
    EXPECT_FALSE(sql_engine::auth_not_supported(0x40101, "secret"));
    EXPECT_FALSE(sql_engine::auth_not_supported(0x400FF, "secret"));
    const sql_auth_not_supported_exception e;
    EXPECT_EQ(e.level, 1);
    EXPECT_EQ(std::string(e.what()),
              "The program does not support authentication protocol requested by server. See "
              "'Troubleshooting' article of the product documentation.");
}

TEST(SqlEngineOffline, SafeNames) {
    offline_engine e(0x0A0B13);
    const std::wstring n64(64, L'a');
    const std::wstring n65(65, L'b');
    EXPECT_EQ(e.engine.get_safe_name(L""), L"");
    EXPECT_EQ(e.engine.get_safe_name(L"`quoted`"), L"`quoted`");
    EXPECT_EQ(e.engine.get_safe_name(L"`a``b`"), L"`a``b`");
    EXPECT_EQ(e.engine.get_safe_name(L"plain"), L"`plain`");
    EXPECT_EQ(e.engine.get_safe_name(n64), L"`" + n64 + L"`");
    EXPECT_EQ(e.engine.get_safe_name(n65), L"`" + n65.substr(0, 63) + L"`");
    // A backquote inside a name never ends the quoted name.
    EXPECT_EQ(e.engine.get_safe_name(L"a`b"), L"`a``b`");
    EXPECT_EQ(e.engine.get_safe_name(L"`x"), L"```x`");
    EXPECT_EQ(e.engine.get_safe_name(L"`a`b`"), L"```a``b```");
    EXPECT_EQ(e.engine.get_safe_name(L"x`; DROP DATABASE d; --`"), L"`x``; DROP DATABASE d; --```");
    EXPECT_EQ(sql_quote_identifier(L"a`b"), L"`a``b`");
    EXPECT_EQ(sql_bare_word(L"utf8mb4"), L"utf8mb4");
    EXPECT_EQ(sql_bare_word(L"x; drop"), L"`x; drop`");
}

TEST(SqlEngineOffline, CharacterSetsByServerVersion) {
    EXPECT_EQ(sql_effective_charset(L"utf8", 0x50503), L"utf8mb4");
    EXPECT_EQ(sql_effective_charset(L"UTF8", 0x0A0B06), L"utf8mb4");
    EXPECT_EQ(sql_effective_charset(L"utf8", 0x50502), L"utf8");
    EXPECT_EQ(sql_effective_charset(L"latin1", 0x0A0B06), L"latin1");
    EXPECT_EQ(sql_effective_charset(L"utf8mb3", 0x0A0B06), L"utf8mb3");
    EXPECT_EQ(sql_charset_max_bytes(L"utf8mb4"), 4);
    EXPECT_EQ(sql_charset_max_bytes(L"utf8"), 3);
    EXPECT_EQ(sql_charset_max_bytes(L"ucs2"), 2);
    EXPECT_EQ(sql_charset_max_bytes(L"latin1"), 1);
}

TEST(SqlEngineOffline, ValidatorsByVersion) {
    udb_record record;
    record.push_back(std::make_unique<udb_field>(L"a", 4, ole_variant(), false, false));
    udb_schema schema;
    udb_indexes indexes;
    struct version_case {
        uint32_t version;
        bool new_rules;
    };
    for (const version_case c : {version_case{0x40100, true}, version_case{0x400FF, false}}) {
        SCOPED_TRACE(c.version);
        offline_engine e(c.version);
        const std::unique_ptr<udb_validator> fn(e.engine.create_fn_validator(record));
        const std::unique_ptr<udb_validator> fs(e.engine.create_fn_validator(schema));
        const std::unique_ptr<udb_validator> in(e.engine.create_in_validator(indexes));
        const std::unique_ptr<udb_validator> tn(e.engine.create_tn_validator({L"t"}, {}));
        const std::unique_ptr<udb_validator> dn(e.engine.create_dn_validator());
        EXPECT_EQ(dynamic_cast<sql_new_fn_validator*>(fn.get()) != nullptr, c.new_rules);
        EXPECT_EQ(dynamic_cast<sql_new_fn_validator*>(fs.get()) != nullptr, c.new_rules);
        EXPECT_EQ(dynamic_cast<sql_new_in_validator*>(in.get()) != nullptr, c.new_rules);
        EXPECT_EQ(dynamic_cast<sql_new_tn_validator*>(tn.get()) != nullptr, c.new_rules);
        EXPECT_EQ(dynamic_cast<sql_old_dn_validator*>(dn.get()) == nullptr, c.new_rules);
        EXPECT_TRUE(tn->is_duplicated(L"T"));
    }
}

// Runs `check` and ends the process: with 0 when it holds, else with 1 after writing its
// failures to the error output.
template <class Check> [[noreturn]] void check_and_exit(Check check) {
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(&results);
        check();
    }
    int failed = 0;
    for (int i = 0; i < results.size(); ++i) {
        const ::testing::TestPartResult& r = results.GetTestPartResult(i);
        if (r.failed()) {
            ++failed;
            std::fprintf(stderr, "%s:%d: %s\n", r.file_name() ? r.file_name() : "?",
                         r.line_number(), r.message());
        }
    }
    std::exit(failed == 0 ? 0 : 1);
}

// The lists are fixed by the first call of a process. Each test of them therefore checks them in
// a process of its own, started afresh, so that it holds in any order and when the whole program
// runs in one process; the parent shows the child's failures.
template <class Check> void in_fresh_process(Check check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check_and_exit(check), ::testing::ExitedWithCode(0), "");
}

void check_fixed_lists() {
    sql_engine engine;
    const auto& charsets = engine.get_charsets();
    ASSERT_EQ(charsets.size(), 37u);
    EXPECT_EQ(charsets[0], L"big5 - Big5 Traditional Chinese");
    EXPECT_EQ(charsets[21], L"utf8 - UTF-8 Unicode");
    EXPECT_EQ(charsets[36], L"eucjpms - UJIS for Windows Japanese");
    const auto& engines = engine.get_storage_engines();
    ASSERT_EQ(engines.size(), 12u);
    EXPECT_EQ(engines[0], L"MyISAM");
    EXPECT_EQ(engines[1], L"MEMORY");
    EXPECT_EQ(engines[2], L"InnoDB");
    EXPECT_EQ(engine.get_max_allowed_packet(), 0u);

    // A later connection does not change what the first call fixed.
    const auto server = test_support::mysql_server_from_env();
    ASSERT_FALSE(server.host.empty());
    engine.connect(server.host, server.user, server.password, static_cast<int>(server.port));
    EXPECT_EQ(&engine.get_charsets(), &charsets);
    EXPECT_EQ(engine.get_charsets().size(), 37u);
}

TEST(SqlEngineOffline, ListsWithoutServerStayFixed) {
    in_fresh_process(check_fixed_lists);
}

class properties_double : public udb_properties {
public:
    udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
    udb_properties* find_by_new_name(const std::wstring& name) override {
        const auto found = tables.find(name);
        return found == tables.end() ? nullptr : found->second.get();
    }
    std::map<std::wstring, std::unique_ptr<properties_double>> tables;
};

TEST(SqlEngineOffline, PropertiesSetEngineAndCharacterSet) {
    offline_engine e(0x0A0B13);
    e.engine.storage_engine = L"MyISAM";
    properties_double props;
    e.engine.set_properties(&props);
    EXPECT_EQ(e.engine.storage_engine, L"InnoDB");
    EXPECT_EQ(e.engine.charset, L"utf8");
    props.properties[L"engine"] = L"Aria";
    props.properties[L"character set"] = L"latin1";
    e.engine.set_properties(&props);
    EXPECT_EQ(e.engine.storage_engine, L"Aria");
    EXPECT_EQ(e.engine.charset, L"latin1");
    EXPECT_EQ(e.engine.properties, &props);
}

// ---- On the server ------------------------------------------------------------------------------

class SqlEngine : public sql_test::server_test {};

TEST_F(SqlEngine, ConnectSetsUpTheSession) {
    EXPECT_TRUE(engine_->connected);
    EXPECT_TRUE(engine_->is_mariadb());
    EXPECT_EQ(engine_->version, sql_parse_version(mysql_get_server_info(mysql())));
    EXPECT_GE(engine_->version, 0x0A0000u);
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@character_set_client"), "utf8mb4");
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@character_set_connection"), "utf8mb4");
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@character_set_results"), "utf8mb4");
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@session.sql_mode"),
              "NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION");
    EXPECT_GE(std::stoul(fetch_value(mysql(), "SELECT @@session.wait_timeout")), 28800ul);
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@session.foreign_key_checks"), "0");

    // A second connect closes the first connection and sets the new session up the same way.
    const std::string first_id = fetch_value(mysql(), "SELECT CONNECTION_ID()");
    engine_->connect(server_.host, server_.user, server_.password, static_cast<int>(server_.port));
    EXPECT_NE(fetch_value(mysql(), "SELECT CONNECTION_ID()"), first_id);
    EXPECT_EQ(fetch_value(mysql(), "SELECT @@character_set_client"), "utf8mb4");
}

TEST_F(SqlEngine, RefusedConnectionsCarryTheServersText) {
    sql_engine& engine = *engine_;
    try {
        engine.connect(server_.host, server_.user, "wrong password",
                       static_cast<int>(server_.port));
        ADD_FAILURE() << "connected with a wrong password";
    } catch (const sql_exception& e) {
        EXPECT_EQ(e.level, 0);
        EXPECT_EQ(e.code, 0x400000 + 1045);
        EXPECT_NE(std::string(e.what()).find("Access denied"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(engine.connected);

    // A port where nothing listens.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int free_port = ntohs(address.sin_port);
    close(listener);
    try {
        engine.connect("127.0.0.1", server_.user, server_.password, free_port);
        ADD_FAILURE() << "connected to a closed port";
    } catch (const sql_exception& e) {
        // The client library's "can't connect" errors (2002 or 2003).
        EXPECT_TRUE(e.code == 0x400000 + 2002 || e.code == 0x400000 + 2003) << e.code;
        EXPECT_NE(std::string(e.what()).find("connect"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(engine.connected);

    // The engine connects again afterwards.
    engine.connect(server_.host, server_.user, server_.password, static_cast<int>(server_.port));
    EXPECT_TRUE(engine.connected);
}

TEST_F(SqlEngine, TheTraceOfAConnectionShowsNoPassword) {
    char path[] = "/tmp/sql_engi_trace_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        const tk_logger logger(path, true, 1, false);
        engine_->connect(server_.host, server_.user, server_.password,
                         static_cast<int>(server_.port));
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream trace;
    trace << in.rdbuf();
    std::remove(path);
    EXPECT_NE(trace.str().find("sql_engine::connect(" + server_.host + "," + server_.user),
              std::string::npos)
        << trace.str();
    EXPECT_EQ(trace.str().find(server_.password), std::string::npos) << trace.str();
    EXPECT_TRUE(engine_->connected);
}

TEST_F(SqlEngine, CreatesOpensTestsAndDropsDatabases) {
    EXPECT_FALSE(engine_->is_db_exist(wide_db_name()));
    {
        auto db = create_db();
        ASSERT_TRUE(db);
        EXPECT_EQ(db->get_mode(), 2);
        EXPECT_EQ(fetch_value(mysql(), "SELECT DATABASE()"), db_name_);
        // The stored "utf8" is full Unicode on this server.
        EXPECT_EQ(fetch_value(mysql(), "SELECT DEFAULT_CHARACTER_SET_NAME FROM "
                                       "information_schema.SCHEMATA WHERE SCHEMA_NAME='" +
                                           db_name_ + "'"),
                  "utf8mb4");
    }
    EXPECT_TRUE(engine_->is_db_exist(wide_db_name()));
    {
        auto db = open_db(0xA8);
        EXPECT_EQ(db->get_mode(), 0xA8);
        EXPECT_TRUE(db->get_tables().empty());
    }
    engine_->db_delete(wide_db_name());
    EXPECT_FALSE(engine_->is_db_exist(wide_db_name()));
    EXPECT_THROW(open_db(), sql_exception);

    // A character set the user chose is kept as chosen.
    engine_->charset = L"latin1";
    create_db();
    EXPECT_EQ(fetch_value(mysql(), "SELECT DEFAULT_CHARACTER_SET_NAME FROM "
                                   "information_schema.SCHEMATA WHERE SCHEMA_NAME='" +
                                       db_name_ + "'"),
              "latin1");
    EXPECT_THROW(create_db(), sql_exception);
}

TEST_F(SqlEngine, DatabaseNamesStayInsideTheirQuotes) {
    db_name_ = "test_SQL_q`uote";
    drop_database();
    auto db = create_db();
    EXPECT_TRUE(engine_->is_db_exist(wide_db_name()));
    engine_->db_delete(wide_db_name());
    EXPECT_FALSE(engine_->is_db_exist(wide_db_name()));
}

void check_server_lists(sql_engine& engine) {
    const auto& charsets = engine.get_charsets();
    ASSERT_FALSE(charsets.empty());
    EXPECT_NE(std::find(charsets.begin(), charsets.end(), L"utf8mb4 - UTF-8 Unicode"),
              charsets.end());
    const auto& engines = engine.get_storage_engines();
    EXPECT_NE(std::find(engines.begin(), engines.end(), L"InnoDB"), engines.end());
    EXPECT_NE(std::find(engines.begin(), engines.end(), L"Aria"), engines.end());
}

TEST_F(SqlEngine, ListsComeFromTheServer) {
    in_fresh_process([this] { check_server_lists(*engine_); });
}

TEST_F(SqlEngine, MaxAllowedPacketIsReadOnce) {
    const uint32_t value = engine_->get_max_allowed_packet();
    EXPECT_EQ(std::to_string(value), fetch_value(mysql(), "SELECT @@session.max_allowed_packet"));
    // A value at or below the session's limit changes nothing on the server.
    engine_->set_max_allowed_packet(1024);
    EXPECT_EQ(engine_->get_max_allowed_packet(), value);
}

} // namespace
