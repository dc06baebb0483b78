// Whole runs: the MS SQL source through FreeTDS against the TDS test server, into the MariaDB
// test server and into script files replayed into it, the destination checked value by value.
#include "tests/converter/converter_test_support.h"

#include "converter/vlm_tmap.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/mysql_test_env.h"
#include "tests/support/tds_server/tds_server.h"
#include "UDB/udb_prof.h"

#include <mysql.h>

#include <cstdio>
#include <fstream>
#include <optional>

using converter_test::driver_env;
using converter_test::temp_dir;

namespace {

using row = std::vector<std::optional<std::string>>;

// A client of the MariaDB test server for preparing and checking destinations.
class checker {
public:
    explicit checker(const test_support::mysql_test_server& s) : server(s) {
        mysql_init(&mysql_);
        connected = mysql_real_connect(&mysql_, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                                       nullptr, s.port, nullptr, 0) != nullptr;
        if (connected) {
            mysql_set_character_set(&mysql_, "utf8mb4");
        }
    }
    ~checker() { mysql_close(&mysql_); }

    void exec(const std::string& statement) {
        ASSERT_EQ(mysql_real_query(&mysql_, statement.data(), statement.size()), 0)
            << statement << ": " << mysql_error(&mysql_);
    }
    std::vector<row> query(const std::string& statement) {
        std::vector<row> rows;
        if (mysql_real_query(&mysql_, statement.data(), statement.size()) != 0) {
            ADD_FAILURE() << statement << ": " << mysql_error(&mysql_);
            return rows;
        }
        MYSQL_RES* result = mysql_store_result(&mysql_);
        if (result == nullptr) {
            return rows;
        }
        const unsigned n = mysql_num_fields(result);
        while (MYSQL_ROW r = mysql_fetch_row(result)) {
            const unsigned long* lengths = mysql_fetch_lengths(result);
            row values;
            for (unsigned i = 0; i < n; ++i) {
                values.push_back(r[i] ? std::optional<std::string>(std::string(r[i], lengths[i]))
                                      : std::nullopt);
            }
            rows.push_back(std::move(values));
        }
        mysql_free_result(result);
        return rows;
    }
    std::vector<std::string> tables(const std::string& db) {
        std::vector<std::string> names;
        for (const row& r : query("SELECT table_name FROM information_schema.tables WHERE "
                                  "table_schema='" +
                                  db +
                                  "' AND table_type='BASE TABLE' ORDER "
                                  "BY table_name")) {
            names.push_back(*r[0]);
        }
        return names;
    }
    void drop(const std::string& db) { exec("DROP DATABASE IF EXISTS `" + db + "`"); }

    test_support::mysql_test_server server;
    bool connected = false;

private:
    MYSQL mysql_{};
};

std::string text(const std::optional<std::string>& value) {
    return value ? *value : "NULL";
}

std::vector<std::string> texts(const std::vector<row>& rows) {
    std::vector<std::string> out;
    for (const row& r : rows) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i) {
            line += (i ? "|" : "") + text(r[i]);
        }
        out.push_back(line);
    }
    return out;
}

// The source rows as the destination must hold them.
const std::vector<std::string> customers = {
    "1|\xC3\x85sa \xC3\x96"
    "berg|Malm\xC3\xB6|2024-01-02 03:04:05.678|10.50|1|00FF10",
    "2|Bob 'Q'|NULL|NULL|-0.01|0|NULL",
    // An empty byte array arrives as an empty value, not NULL.
    "3|Zo\xC3\xAB \xF0\x9F\x98\x80|Z\xC3\xBCrich|1999-12-31 23:59:59.999|1234567890.12|0|",
};
const std::vector<std::string> orders = {"10|1|19.99|first\\ line", "11|3|0.50|NULL", "12|3|7.00|"};
const char* const customers_query =
    "SELECT id, name, city, joined, balance, vip, HEX(photo) FROM customers ORDER BY id";
const char* const orders_query = "SELECT id, customer_id, amount, note FROM orders ORDER BY id";

class driver_end_to_end : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tds_provider_registered);
        mysql = test_support::mysql_server_from_env();
        ASSERT_FALSE(mysql.host.empty());
        check = std::make_unique<checker>(mysql);
        ASSERT_TRUE(check->connected);
        server = std::make_unique<tds_server>(
            std::vector<std::string>{std::string(DRIVER_FIXTURE_DIR) + "/driver.tds"});
        server->start();
    }
    void TearDown() override {
        for (const std::string& db : databases) {
            check->drop(db);
        }
        server->stop();
    }

    // A converter connected to both servers (the MySQL side unless `script`), with the source
    // selected and the destination named; its own database names are dropped at the end.
    std::unique_ptr<velmora_convertor> converter(const std::string& dest, bool script = false) {
        auto c = converter_test::source_converter(server->port(), L"velmora_driver");
        c->direct = !script;
        c->dest = tk_utf8_to_wstring(dest);
        if (!script) {
            c->store_mysql_settings(mysql.host, mysql.user, mysql.password,
                                    std::to_string(mysql.port));
            c->connect_mysql_server();
            databases.push_back(dest);
        }
        return c;
    }

    // check_dest, then the run, as both programs do.
    void run(velmora_convertor& c) {
        c.check_dest();
        c();
        EXPECT_TRUE(c.finished);
    }

    std::vector<std::string> rows_of(const std::string& db, const std::string& statement) {
        check->exec("USE `" + db + "`");
        return texts(check->query(statement));
    }

    void expect_source_copy(const std::string& db) {
        EXPECT_EQ(rows_of(db, customers_query), customers);
        EXPECT_EQ(rows_of(db, orders_query), orders);
        EXPECT_EQ(rows_of(db, "SELECT sku, qty FROM `sales.items` ORDER BY sku"),
                  (std::vector<std::string>{"A-1|5", "B-2|0"}));
        EXPECT_TRUE(rows_of(db, "SELECT * FROM empty_table").empty());
    }

    test_support::mysql_test_server mysql;
    std::unique_ptr<checker> check;
    std::unique_ptr<tds_server> server;
    std::vector<std::string> databases;
};

TEST_F(driver_end_to_end, OverwriteTheEntireDatabase) {
    driver_env env;
    check->drop("drv_m0");
    check->exec("CREATE DATABASE drv_m0");
    check->exec("CREATE TABLE drv_m0.leftover (x int)");
    auto c = converter("drv_m0");
    c->get_all_tables(c->selected_tables);
    EXPECT_EQ(c->selected_tables, (std::vector<std::wstring>{L"dbo.codes", L"dbo.customers",
                                                             L"dbo.empty_table", L"dbo.orders"}))
        << "the tables the login owns, with their owner";
    c->selected_tables = {L"customers", L"orders", L"empty_table", L"sales.items"};
    c->convert_views = true;
    c->get_all_views(c->selected_views);
    run(*c);
    EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
    EXPECT_EQ(check->tables("drv_m0"),
              (std::vector<std::string>{"customers", "empty_table", "orders", "sales.items"}));
    expect_source_copy("drv_m0");
    // Keys, indexes, the foreign key and the view came along.
    EXPECT_EQ(rows_of("drv_m0", "SELECT COUNT(*) FROM information_schema.statistics WHERE "
                                "table_schema='drv_m0' AND table_name='customers'"),
              std::vector<std::string>{"2"});
    EXPECT_EQ(rows_of("drv_m0", "SELECT constraint_name, referenced_table_name FROM "
                                "information_schema.referential_constraints WHERE "
                                "constraint_schema='drv_m0'"),
              std::vector<std::string>{"FK_orders_customers|customers"});
    EXPECT_EQ(rows_of("drv_m0", "SELECT id, name FROM big_customers ORDER BY id").size(), 2u);
    EXPECT_NE(std::find(env.ui.log_lines.begin(), env.ui.log_lines.end(),
                        L"Converting table relationships\r\n"),
              env.ui.log_lines.end());
}

TEST_F(driver_end_to_end, ExistingDestinationInEachMode) {
    driver_env env;
    const std::vector<std::wstring> tables = {L"customers", L"orders", L"sales.items",
                                              L"empty_table"};
    for (int mode : {1, 2, 3, 4}) {
        SCOPED_TRACE(mode);
        const std::string db = "drv_mode" + std::to_string(mode);
        check->drop(db);
        {
            auto c = converter(db);
            c->selected_tables = tables;
            run(*c);
        }
        // The destination drifts from the source: a changed row, a missing one, an extra one.
        check->exec("USE `" + db + "`");
        check->exec("UPDATE orders SET amount = 1.00, note = 'changed' WHERE id = 10");
        check->exec("DELETE FROM orders WHERE id = 11");
        check->exec("INSERT INTO orders VALUES (99, 2, 5.55, 'extra')");
        check->exec("CREATE TABLE keep_me (x int)");
        auto c = converter(db);
        c->mode = mode;
        c->selected_tables = tables;
        run(*c);
        EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
        env.ui.errors.clear();
        std::vector<std::string> expected;
        switch (mode) {
        case 1: // the table is made again from the source
            expected = orders;
            break;
        case 2: // the table is left as it was
            expected = {"10|1|1.00|changed", "12|3|7.00|", "99|2|5.55|extra"};
            break;
        case 3: // new rows added, existing rows kept
            expected = {"10|1|1.00|changed", "11|3|0.50|NULL", "12|3|7.00|", "99|2|5.55|extra"};
            break;
        case 4: // existing rows take the source's values
            expected = {"10|1|19.99|first\\ line", "11|3|0.50|NULL", "12|3|7.00|",
                        "99|2|5.55|extra"};
            break;
        }
        EXPECT_EQ(rows_of(db, orders_query), expected);
        EXPECT_EQ(rows_of(db, customers_query), customers);
        EXPECT_EQ(check->tables(db), (std::vector<std::string>{"customers", "empty_table",
                                                               "keep_me", "orders", "sales.items"}))
            << "the same table names again, and other tables stay";
    }
}

// Keys that one destination key holds twice (letter case, which the server ignores): in a
// database the run creates there is no row to merge with, so in every mode the second row is a
// reported error and the first keeps its values.
TEST_F(driver_end_to_end, DuplicateKeysInANewDatabaseByMode) {
    for (int mode : {0, 3, 4}) {
        SCOPED_TRACE(mode);
        driver_env env;
        const std::string db = "drv_dup" + std::to_string(mode);
        check->drop(db);
        auto c = converter(db);
        c->mode = mode;
        c->selected_tables = {L"codes"};
        run(*c);
        const std::vector<std::string> rows =
            rows_of(db, "SELECT code, label FROM codes ORDER BY code");
        ASSERT_EQ(env.ui.errors.size(), 1u);
        EXPECT_EQ(env.ui.errors[0].rfind("codes, record #2: Duplicate field values", 0), 0u)
            << env.ui.errors[0];
        EXPECT_NE(env.ui.errors[0].find("for key 'PRIMARY'"), std::string::npos)
            << env.ui.errors[0];
        EXPECT_EQ(rows, (std::vector<std::string>{"abc|first", "xyz|third"}));
    }
}

// A refused row's Continue/Abort question comes after the rows before it are committed: another
// client sees them while the question is open, and Abort keeps them.
TEST_F(driver_end_to_end, ARowsQuestionFindsTheRowsBeforeItCommitted) {
    driver_env env;
    const std::string db = "drv_question";
    check->drop(db);
    auto c = converter(db);
    c->selected_tables = {L"codes"};
    std::vector<std::string> seen_during_question;
    env.ui.on_question = [&] {
        seen_during_question = rows_of(db, "SELECT code, label FROM codes ORDER BY code");
    };
    env.ui.answers.push_back({false, false});
    c->check_dest();
    (*c)();
    ASSERT_EQ(env.ui.questions.size(), 1u);
    EXPECT_EQ(seen_during_question, std::vector<std::string>{"abc|first"});
    EXPECT_EQ(rows_of(db, "SELECT code, label FROM codes ORDER BY code"),
              std::vector<std::string>{"abc|first"});
}

TEST_F(driver_end_to_end, OptionsDefinitionsIndexesViewsSchemaAndQueries) {
    driver_env env;
    {
        check->drop("drv_defs");
        auto c = converter("drv_defs");
        c->selected_tables = {L"customers", L"orders"};
        c->tab_def = true;
        c->skip_idx = true;
        run(*c);
        EXPECT_TRUE(rows_of("drv_defs", customers_query).empty());
        // Only the index that an auto-increment column needs.
        EXPECT_EQ(rows_of("drv_defs", "SELECT table_name, column_name FROM "
                                      "information_schema.statistics WHERE "
                                      "table_schema='drv_defs'"),
                  std::vector<std::string>{"customers|id"});
        EXPECT_EQ(rows_of("drv_defs", "SELECT COUNT(*) FROM information_schema.views WHERE "
                                      "table_schema='drv_defs'"),
                  std::vector<std::string>{"0"});
    }
    {
        check->drop("drv_schema");
        auto c = converter("drv_schema");
        c->mss_schema = L"sales";
        c->set_view_owned(false);
        c->get_all_tables(c->selected_tables);
        c->selected_queries = {{L"order amounts", L"SELECT id, amount FROM dbo.orders"}};
        run(*c);
        EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
        EXPECT_EQ(check->tables("drv_schema"),
                  (std::vector<std::string>{"items", "order amounts"}));
        EXPECT_EQ(rows_of("drv_schema", "SELECT id, amount FROM `order amounts` ORDER BY id"),
                  (std::vector<std::string>{"10|19.99", "11|0.50", "12|7.00"}));
    }
}

// The user's renames, deletions and type changes, read from a profile's Type Mappings.
TEST_F(driver_end_to_end, TypeMappingsOfAProfile) {
    driver_env env;
    temp_dir dir;
    std::ofstream(dir.file("p.vlm"), std::ios::binary)
        << "[Selected Tables]\r\ncustomers\r\norders\r\n"
           "[Type Mappings]\r\n"
           "database:\r\ntables:\r\n"
           "  - name: customers\r\n    new_name: clients\r\n    fields:\r\n"
           "      - name:photo\r\n        status: deleted\r\n"
           "      - name:name\r\n        new_name: full_name\r\n        type: VARCHAR\r\n"
           "        length: 80\r\n"
           "      - name:balance\r\n        type: VARCHAR\r\n        length: 20\r\n";
    check->drop("drv_maps");
    auto c = converter("drv_maps");
    ASSERT_TRUE(load_profile_file(*c, dir.wfile("p.vlm")));
    run(*c);
    EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
    EXPECT_EQ(check->tables("drv_maps"), (std::vector<std::string>{"clients", "orders"}));
    EXPECT_EQ(
        rows_of("drv_maps", "SELECT column_name, column_type FROM "
                            "information_schema.columns WHERE table_schema='drv_maps' AND "
                            "table_name='clients' ORDER BY ordinal_position"),
        (std::vector<std::string>{"id|int(11)", "full_name|varchar(80)", "city|varchar(30)",
                                  "joined|datetime(3)", "balance|varchar(20)", "vip|tinyint(1)"}));
    EXPECT_EQ(rows_of("drv_maps", "SELECT id, full_name, balance FROM clients ORDER BY id"),
              (std::vector<std::string>{"1|\xC3\x85sa \xC3\x96"
                                        "berg|10.50",
                                        "2|Bob 'Q'|-0.01",
                                        "3|Zo\xC3\xAB \xF0\x9F\x98\x80|1234567890.12"}));
    EXPECT_EQ(rows_of("drv_maps", "SELECT constraint_name, referenced_table_name FROM "
                                  "information_schema.referential_constraints WHERE "
                                  "constraint_schema='drv_maps'"),
              std::vector<std::string>{"FK_orders_customers|clients"});
}

TEST_F(driver_end_to_end, FailuresByLevel) {
    {
        // A refused row: reported with its table and record number; the run goes on.
        driver_env env;
        check->drop("drv_fail");
        auto c = converter("drv_fail");
        c->selected_tables = {L"customers", L"orders"};
        sql_native_type narrow;
        narrow.type = L"VARCHAR";
        narrow.length = 5;
        c->get_table_mutator2(L"customers", L"customers")->update_field(L"city", L"city", narrow);
        run(*c);
        ASSERT_EQ(env.ui.errors.size(), 1u);
        EXPECT_EQ(env.ui.errors[0].rfind("customers, record #3: ", 0), 0u) << env.ui.errors[0];
        EXPECT_EQ(rows_of("drv_fail", "SELECT id FROM customers ORDER BY id"),
                  (std::vector<std::string>{"1", "2"}));
        EXPECT_EQ(rows_of("drv_fail", orders_query), orders);
    }
    {
        // Abort at the first question ends the run: nothing after it is converted.
        driver_env env;
        env.ui.abort_at_question = 1;
        check->drop("drv_abort");
        auto c = converter("drv_abort");
        c->selected_tables = {L"customers", L"orders"};
        sql_native_type narrow;
        narrow.type = L"VARCHAR";
        narrow.length = 1;
        c->get_table_mutator2(L"customers", L"customers")->update_field(L"name", L"name", narrow);
        run(*c);
        EXPECT_EQ(env.ui.questions.size(), 1u);
        EXPECT_EQ(check->tables("drv_abort"), std::vector<std::string>{"customers"});
    }
    {
        // A source table that no longer exists: reported by name, the next table follows.
        driver_env env;
        check->drop("drv_missing");
        auto c = converter("drv_missing");
        c->selected_tables = {L"gone", L"orders"};
        run(*c);
        // And the foreign key of orders, whose referenced table was not converted.
        ASSERT_EQ(env.ui.errors.size(), 2u);
        EXPECT_EQ(env.ui.errors[0].rfind("gone: ", 0), 0u) << env.ui.errors[0];
        EXPECT_NE(env.ui.errors[1].find("Cannot create foreign key."), std::string::npos)
            << env.ui.errors[1];
        EXPECT_EQ(rows_of("drv_missing", orders_query), orders);
    }
    // A query named like a selected table's destination: the table is refused by name rather
    // than adding its rows to the query's (mode 0) or dropping them (mode 1).
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        driver_env env;
        check->drop("drv_clash");
        auto c = converter("drv_clash");
        c->mode = mode;
        c->selected_queries = {{L"dbo.orders", L"SELECT id, amount FROM dbo.orders"}};
        c->selected_tables = {L"dbo.orders"};
        run(*c);
        ASSERT_EQ(env.ui.errors.size(), 1u);
        EXPECT_NE(env.ui.errors[0].find("'dbo.orders' already holds the rows of the query "
                                        "'dbo.orders' in this run; the table 'dbo.orders' was "
                                        "not copied."),
                  std::string::npos)
            << env.ui.errors[0];
        EXPECT_EQ(rows_of("drv_clash", "SELECT * FROM `dbo.orders` ORDER BY id"),
                  (std::vector<std::string>{"10|19.99", "11|0.50", "12|7.00"}));
    }
}

// Each destination table takes the rows of one object of the run: a table listed again in
// another form (its letters cased otherwise too, which would miss its planned name) is refused,
// once per later form, and its rows are copied once; a query named like a table that the run
// copied before it is refused, never renamed; a query named like a table that is not selected
// still fills that table's name.
TEST_F(driver_end_to_end, OneObjectPerDestinationTable) {
    struct scenario {
        std::vector<std::wstring> tables;
        std::vector<vlm_query> queries;
        std::size_t errors;
        const char* error;
        const char* table;
        std::vector<std::string> rows;
    };
    const std::vector<std::string> amounts = {"10|19.99", "11|0.50", "12|7.00"};
    const char* listed_before = "was listed before in this run, as 'orders'; it was not copied "
                                "again.";
    const std::vector<scenario> scenarios = {
        {{L"orders", L"dbo.orders", L"[dbo].[ORDERS]"}, {}, 2, listed_before, "orders", amounts},
        // Listed in other letters only, the table keeps its own destination name.
        {{L"[dbo].[ORDERS]"}, {}, 0, "", "orders", amounts},
        {{}, {{L"orders", L"SELECT id, amount FROM dbo.orders"}}, 0, "", "orders", amounts},
        // A profile's table before a query of its destination name.
        {{},
         {{L"dbo.orders", L""}, {L"orders", L"SELECT id, amount FROM dbo.orders"}},
         1,
         "The destination table 'orders' already holds the rows of the table 'dbo.orders' in "
         "this run; the query 'orders' was not copied. Give one of them another name.",
         "orders",
         amounts},
    };
    for (const int mode : {0, 1}) {
        for (const scenario& s : scenarios) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << s.errors << " errors");
            driver_env env;
            check->drop("drv_once");
            auto c = converter("drv_once");
            c->mode = mode;
            c->mss_schema = L"dbo";
            c->skip_idx = true; // orders without customers: its foreign key is not the subject
            c->selected_tables = s.tables;
            c->selected_queries = s.queries;
            run(*c);
            EXPECT_EQ(env.ui.errors.size(), s.errors)
                << (env.ui.errors.empty() ? std::string() : env.ui.errors.back());
            for (const std::string& error : env.ui.errors) {
                EXPECT_NE(error.find(s.error), std::string::npos) << error;
            }
            EXPECT_EQ(check->tables("drv_once"), std::vector<std::string>{s.table});
            EXPECT_EQ(rows_of("drv_once",
                              std::string("SELECT id, amount FROM `") + s.table + "` ORDER BY id"),
                      s.rows);
        }
    }
}

TEST_F(driver_end_to_end, ScriptFileReplaysIntoTheServer) {
    driver_env env;
    temp_dir dir;
    const std::string path = dir.file("out.sql");
    std::ofstream(path) << "an older file";
    auto c = converter(path, true);
    c->convert_views = true;
    c->selected_tables = {L"customers", L"orders", L"empty_table", L"sales.items"};
    c->get_all_views(c->selected_views);
    run(*c);
    EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();

    check->drop("drv_script");
    databases.push_back("drv_script");
    check->exec("CREATE DATABASE drv_script");
    EXPECT_EQ(test_support::replay_script(mysql, "drv_script", path), "");
    expect_source_copy("drv_script");
    EXPECT_EQ(rows_of("drv_script", "SELECT COUNT(*) FROM information_schema.referential_"
                                    "constraints WHERE constraint_schema='drv_script'"),
              std::vector<std::string>{"1"});
    EXPECT_EQ(rows_of("drv_script", "SELECT id FROM big_customers ORDER BY id"),
              (std::vector<std::string>{"2", "3"}));
}

// The statements of a script, without its comment lines (the header holds the time).
std::string statements_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("#")) {
            kept += line + "\n";
        }
    }
    return kept;
}

// One converter run twice converts its selection twice alike, into a script and into the
// server: the selection is not widened or doubled by the first run, and nothing is reported.
TEST_F(driver_end_to_end, AConverterRunTwiceConvertsAlike) {
    temp_dir dir;
    const std::vector<vlm_query> queries = {{L"big", L"SELECT id, name FROM dbo.customers"}};
    const std::vector<std::wstring> tables = {L"customers", L"orders", L"empty_table",
                                              L"sales.items"};
    {
        driver_env env;
        auto c = converter(dir.file("first.sql"), true);
        c->selected_queries = queries;
        c->selected_tables = tables;
        run(*c);
        c->dest = dir.wfile("second.sql");
        run(*c);
        EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
        EXPECT_EQ(c->selected_queries, queries);
        EXPECT_EQ(c->selected_tables, tables);
        const std::string first = statements_of(dir.file("first.sql"));
        EXPECT_NE(first.find("CREATE TABLE `big`"), std::string::npos) << first;
        EXPECT_EQ(statements_of(dir.file("second.sql")), first);
        // A selection changed between runs is what the next run converts, nothing of the last.
        c->selected_queries.clear();
        c->selected_tables = {L"customers"};
        c->dest = dir.wfile("third.sql");
        run(*c);
        EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
        const std::string third = statements_of(dir.file("third.sql"));
        EXPECT_NE(third.find("CREATE TABLE `customers`"), std::string::npos) << third;
        for (const char* gone : {"`big`", "`orders`", "`empty_table`", "`sales.items`"}) {
            EXPECT_EQ(third.find(std::string("CREATE TABLE ") + gone), std::string::npos) << third;
        }
    }
    driver_env env;
    check->drop("drv_twice");
    auto c = converter("drv_twice");
    c->selected_queries = queries;
    c->selected_tables = tables;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        run(*c);
        EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
        EXPECT_EQ(
            check->tables("drv_twice"),
            (std::vector<std::string>{"big", "customers", "empty_table", "orders", "sales.items"}));
        expect_source_copy("drv_twice");
        EXPECT_EQ(rows_of("drv_twice", "SELECT COUNT(*) FROM big"), std::vector<std::string>{"3"});
    }
}

} // namespace

namespace {

TEST_F(driver_end_to_end, CatalogueQueriesOfTheWizardPages) {
    driver_env env;
    auto c = converter("drv_unused");
    EXPECT_EQ(c->get_mss_schemas(L"no_such_database"),
              (std::vector<std::wstring>{L"dbo", L"guest", L"sys"}));
    const std::vector<std::wstring> schemas = c->get_mss_schemas(L"velmora_driver");
    EXPECT_NE(std::find(schemas.begin(), schemas.end(), L"sales"), schemas.end());
    const std::vector<std::wstring> databases = c->get_mss_databases();
    EXPECT_NE(std::find(databases.begin(), databases.end(), L"velmora_driver"), databases.end());

    EXPECT_TRUE(c->test_query(L"SELECT id, amount FROM dbo.orders"));
    EXPECT_FALSE(c->test_query(L"SELECT nothing FROM nowhere"));

    std::unique_ptr<udb_schema> schema = c->get_schema(L"dbo.customers");
    ASSERT_EQ(schema->size(), 7u)
        << "valid after the source table was released (named as the tables page lists it)";
    EXPECT_EQ((*schema)[1]->name, L"name");
    EXPECT_TRUE((*schema)[0]->b_auto_num);
    try {
        c->get_schema(L"no_such_table");
        ADD_FAILURE() << "no internal error";
    } catch (const tk_mail_assertion& error) {
        EXPECT_STREQ(error.what(), make_err_meggase("vlm_conv", 86).c_str());
    }
}

} // namespace
