// The TDS test server through FreeTDS's ODBC driver: handshake, every type value for value,
// statement answers, the fault switches and a million streamed rows.
#include "odbc_client.h"

#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

const std::string user = "sa";
const std::string password = "Velmora-Pw1";

// One server per test suite with both fixture databases; faults and the log are reset after
// every test.
class TdsServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<tds_server>(std::vector<std::string>{
            tds_fixture_dir() + "/all_types.tds", tds_fixture_dir() + "/shop.tds"});
        server_->start();
    }
    static void TearDownTestSuite() { server_.reset(); }
    void TearDown() override {
        server_->clear_faults();
        server_->clear_statements();
    }
    static std::string connection(const std::string& database = {}) {
        return server_->odbc_connection_string(user, password, database);
    }
    static void connect(odbc_client& c, const std::string& database = {}) {
        ASSERT_TRUE(c.connect(connection(database))) << c.describe_diagnostics();
    }
    static std::unique_ptr<tds_server> server_;
};

std::unique_ptr<tds_server> TdsServer::server_;

// What FreeTDS reports for one column of dbo.all_types, and its text in rows 1, 3 and 4
// (row 2 is NULL but for id and rowversion). Binary-only columns list their bytes in hex.
struct type_case {
    const char* column;
    SQLSMALLINT sql_type;
    SQLULEN size;
    SQLSMALLINT digits;
    const char* typical;
    const char* lowest;
    const char* highest;
};

const type_case type_cases[] = {
    {"c_bit", SQL_BIT, 1, 0, "1", "0", "1"},
    {"c_tinyint", SQL_TINYINT, 3, 0, "42", "0", "255"},
    {"c_smallint", SQL_SMALLINT, 5, 0, "-1234", "-32768", "32767"},
    {"c_int", SQL_INTEGER, 10, 0, "123456", "-2147483648", "2147483647"},
    {"c_bigint", SQL_BIGINT, 19, 0, "1234567890123", "-9223372036854775808", "9223372036854775807"},
    {"c_decimal", SQL_NUMERIC, 38, 10, "-1234567890123456789012345678.9012345678",
     "-9999999999999999999999999999.9999999999", "9999999999999999999999999999.9999999999"},
    {"c_numeric", SQL_NUMERIC, 5, 2, "123.45", "-999.99", "999.99"},
    {"c_money", SQL_DECIMAL, 19, 4, "12.3456", "-922337203685477.5808", "922337203685477.5807"},
    {"c_smallmoney", SQL_DECIMAL, 10, 4, "1.5000", "-214748.3648", "214748.3647"},
    {"c_real", SQL_REAL, 24, 0, "0.100000001", "-3.40282347e+38", "3.40282347e+38"},
    {"c_float", SQL_DOUBLE, 53, 0, "0.10000000000000001", "-1.7976931348623157e+308",
     "1.7976931348623157e+308"},
    {"c_date", SQL_TYPE_DATE, 10, 0, "2024-02-29", "1-01-01", "9999-12-31"},
    {"c_time0", -154, 8, 0, "13:45:30", "00:00:00", "23:59:59"},
    {"c_time3", -154, 12, 3, "13:45:30.123", "00:00:00.000", "23:59:59.999"},
    {"c_time7", -154, 16, 7, "13:45:30.1234567", "00:00:00.0000000", "23:59:59.9999999"},
    {"c_smalldatetime", SQL_TYPE_TIMESTAMP, 16, 0, "2024-02-29 13:45:00", "1900-01-01 00:00:00",
     "2079-06-06 23:59:00"},
    {"c_datetime", SQL_TYPE_TIMESTAMP, 23, 3, "2024-02-29 13:45:30.997", "1753-01-01 00:00:00.000",
     "9999-12-31 23:59:59.997"},
    {"c_datetime2_0", SQL_TYPE_TIMESTAMP, 19, 0, "2024-02-29 13:45:30", "1-01-01 00:00:00",
     "9999-12-31 23:59:59"},
    {"c_datetime2_7", SQL_TYPE_TIMESTAMP, 27, 7, "2024-02-29 13:45:30.1234567",
     "1-01-01 00:00:00.0000000", "9999-12-31 23:59:59.9999999"},
    {"c_datetimeoffset", -155, 34, 7, "2024-02-29 13:45:30.1234567 +05:30",
     "1-01-01 00:00:00.0000000 -14:00", "9999-12-31 23:59:59.9999999 +14:00"},
    {"c_char", SQL_CHAR, 10, 0, "abc       ", "          ", "ÀÉÎõü€    "},
    {"c_varchar", SQL_VARCHAR, 50, 0, "hello, world", "", "Grüße €"},
    {"c_varchar_cyrillic", SQL_VARCHAR, 20, 0, "Привет", "", "Ёё"},
    {"c_varchar_max", SQL_VARCHAR, 0, 0, "short", "", "x"},
    {"c_nchar", SQL_WCHAR, 10, 0, "ab        ", "          ", "日本語       "},
    {"c_nvarchar", SQL_WVARCHAR, 50, 0, "Grüße 😀", "", "𝄞 music"},
    {"c_nvarchar_max", SQL_WVARCHAR, 0, 0, "😀 max", "", "𝄞"},
    {"c_text", SQL_LONGVARCHAR, 2147483647, 0, "legacy text", "", "x"},
    {"c_ntext", SQL_WLONGVARCHAR, 1073741823, 0, "legacy ünïcode 😀", "", "𝄞"},
    {"c_binary", SQL_BINARY, 4, 0, "00010203", "00000000", "ffffffff"},
    {"c_varbinary", SQL_VARBINARY, 50, 0, "00ff00", "", "ffffffff"},
    {"c_varbinary_max", SQL_VARBINARY, 0, 0, "00", "", "ff"},
    {"c_image", SQL_LONGVARBINARY, 2147483647, 0, "89504e47", "", "ff"},
    {"c_uniqueidentifier", SQL_GUID, 36, 0, "6F9619FF-8B86-D011-B42D-00C04FC964FF",
     "00000000-0000-0000-0000-000000000000", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"},
    {"c_xml", -152, 0, 0, "<a b=\"1\">x</a>", "<empty/>", "<r/>"},
    {"c_geometry", SQL_LONGVARBINARY, 2147483647, 0, "00000000010c000000000000f03f0000000000000040",
     "00000000010c00000000000000000000000000000000",
     "0000000001040200000000000000000000000000000000000000000000000000f03f000000000000f03f010000000"
     "10000000001000000ffffffff0000000002"},
    {"c_geography", SQL_LONGVARBINARY, 2147483647, 0,
     "e6100000010c000000000000f03f0000000000000040", "e6100000010c00000000000000000000000000000000",
     "e6100000010c3333333333d34740f6285c8fc2955ec0"},
    {"c_hierarchyid", SQL_LONGVARBINARY, 2147483647, 0, "58", "", "5ac0"},
    {"c_sql_variant", -150, 8000, 0, "42", "variant 😀", "12.34"},
    {"c_rowversion", SQL_BINARY, 8, 0, "00000000000007d1", "0000000000000000", "ffffffffffffffff"},
};

bool binary_only(const type_case& t) {
    // UDT values reach ODBC as binary only; FreeTDS refuses them as text.
    std::string name = t.column;
    return name == "c_geometry" || name == "c_geography" || name == "c_hierarchyid";
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::optional<std::string> read_as_text(odbc_client& c, SQLUSMALLINT column, const type_case& t) {
    if (!binary_only(t))
        return c.text(column);
    auto bytes = c.bytes(column);
    if (!bytes)
        return bytes;
    return hex(*bytes);
}

std::string repeated(const std::string& part, std::size_t count) {
    std::string out;
    out.reserve(part.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        out += part;
    return out;
}

// Every row of the current result as "a|b|c", NULL as "NULL".
std::vector<std::string> all_rows(odbc_client& c) {
    std::vector<std::string> rows;
    std::size_t count = c.columns().size();
    while (SQL_SUCCEEDED(c.fetch())) {
        std::string row;
        for (std::size_t i = 1; i <= count; ++i)
            row += (i > 1 ? "|" : "") + c.text(static_cast<SQLUSMALLINT>(i)).value_or("NULL");
        rows.push_back(row);
    }
    return rows;
}

TEST_F(TdsServer, ConnectsAndAnswersTheVersion) {
    odbc_client c;
    connect(c);
    ASSERT_TRUE(c.execute("SELECT @@VERSION")) << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    auto version = c.text(1);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->rfind("Microsoft SQL Server 2022", 0), 0u) << *version;
    EXPECT_EQ(c.fetch(), SQL_NO_DATA);
}

TEST_F(TdsServer, ReportsEveryTypeAsSqlServerDoes) {
    odbc_client c;
    connect(c);
    ASSERT_TRUE(c.execute("SELECT * FROM [dbo].[all_types]")) << c.describe_diagnostics();
    auto columns = c.columns();
    ASSERT_EQ(columns.size(), std::size(type_cases) + 1);
    EXPECT_EQ(columns[0].name, "id");
    EXPECT_EQ(columns[0].nullable, SQL_NO_NULLS);
    for (std::size_t i = 0; i < std::size(type_cases); ++i) {
        const type_case& t = type_cases[i];
        const odbc_column& col = columns[i + 1];
        SCOPED_TRACE(t.column);
        EXPECT_EQ(col.name, t.column);
        EXPECT_EQ(col.sql_type, t.sql_type);
        EXPECT_EQ(col.size, t.size);
        EXPECT_EQ(col.digits, t.digits);
        EXPECT_EQ(col.nullable,
                  std::string(t.column) == "c_rowversion" ? SQL_NO_NULLS : SQL_NULLABLE);
    }
}

TEST_F(TdsServer, ReadsEveryTypeValueForValue) {
    odbc_client c;
    connect(c);
    ASSERT_TRUE(c.execute("SELECT * FROM [dbo].[all_types]")) << c.describe_diagnostics();
    for (int row = 1; row <= 4; ++row) {
        SCOPED_TRACE("row " + std::to_string(row));
        ASSERT_TRUE(SQL_SUCCEEDED(c.fetch())) << c.describe_diagnostics();
        EXPECT_EQ(c.text(1), std::to_string(row));
        for (std::size_t i = 0; i < std::size(type_cases); ++i) {
            const type_case& t = type_cases[i];
            SCOPED_TRACE(t.column);
            auto value = read_as_text(c, static_cast<SQLUSMALLINT>(i + 2), t);
            if (row == 2 && std::string(t.column) != "c_rowversion") {
                EXPECT_FALSE(value) << *value;
                continue;
            }
            const char* expected = row == 1   ? t.typical
                                   : row == 2 ? "00000000000007d2"
                                   : row == 3 ? t.lowest
                                              : t.highest;
            ASSERT_TRUE(value);
            EXPECT_EQ(*value, expected);
        }
    }
}

TEST_F(TdsServer, ReadsValuesOverOneMebibyteIntact) {
    odbc_client c;
    connect(c);
    ASSERT_TRUE(c.execute("SELECT c_varchar_max, c_nvarchar_max, c_text, c_ntext, "
                          "c_varbinary_max, c_image, c_xml, c_sql_variant FROM all_types"))
        << c.describe_diagnostics();
    for (int row = 1; row <= 4; ++row)
        ASSERT_TRUE(SQL_SUCCEEDED(c.fetch()));
    ASSERT_TRUE(SQL_SUCCEEDED(c.fetch())) << c.describe_diagnostics();
    EXPECT_EQ(c.text(1), repeated("abcdefghij", 110000));
    EXPECT_EQ(c.text(2), repeated("😀x", 400000));
    EXPECT_EQ(c.text(3), repeated("t", 1100000));
    EXPECT_EQ(c.text(4), repeated("ñ", 600000));
    EXPECT_EQ(c.bytes(5), repeated(std::string("\0\xff", 2), 600000));
    EXPECT_EQ(c.bytes(6), std::string(1100000, '\0'));
    EXPECT_EQ(c.text(7), repeated("<r>😀</r>", 100000));
    EXPECT_EQ(c.text(8), "2024-02-29 13:45:30.123");
    EXPECT_EQ(c.fetch(), SQL_NO_DATA);
}

TEST_F(TdsServer, AnswersColumnListsCountsAndSeveralResults) {
    odbc_client c;
    connect(c);
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM [dbo].[all_types];\n"
                          "select [c_int], c_bit from dbo.ALL_TYPES;"
                          "SELECT COUNT_BIG(*) FROM (SELECT * FROM [sales].[orders]) as query"))
        << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "5");
    ASSERT_EQ(c.fetch(), SQL_NO_DATA);
    ASSERT_TRUE(c.more_results());
    auto columns = c.columns();
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0].name, "c_int");
    EXPECT_EQ(columns[1].name, "c_bit");
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "123456");
    EXPECT_EQ(c.text(2), "1");
    int rows = 1;
    while (c.fetch() == SQL_SUCCESS)
        ++rows;
    EXPECT_EQ(rows, 5);
    // The third statement runs in velmora_types, which has no sales.orders.
    EXPECT_FALSE(c.more_results());
}

TEST_F(TdsServer, AnswersSpatialColumnsAsWellKnownText) {
    odbc_client c;
    connect(c);
    ASSERT_TRUE(c.execute("SELECT [id],[c_geometry].STAsText() as [c_geometry],"
                          "[c_geography].STAsText() as [geo] FROM [dbo].[all_types]"))
        << c.describe_diagnostics();
    auto columns = c.columns();
    ASSERT_EQ(columns.size(), 3u);
    EXPECT_EQ(columns[1].name, "c_geometry");
    EXPECT_EQ(columns[1].sql_type, SQL_WVARCHAR);
    EXPECT_EQ(columns[2].name, "geo");
    EXPECT_EQ(all_rows(c),
              (std::vector<std::string>{
                  "1|POINT (1 2)|POINT (2 1)", "2|NULL|NULL", "3|POINT (0 0)|POINT (0 0)",
                  "4|LINESTRING (0 0, 1 1)|POINT (-122.34 47.65)", "5|NULL|NULL"}));
    EXPECT_FALSE(c.execute("SELECT [c_int].STAsText() as [x] FROM all_types"));
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].native, 258);
}

TEST_F(TdsServer, ServesEveryFixtureDatabase) {
    odbc_client c;
    connect(c, "velmora_shop");
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM (SELECT * FROM [sales].[orders]) as query"))
        << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "3");
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM velmora_types.dbo.all_types"))
        << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "5");
    c.close_cursor();
    ASSERT_TRUE(c.execute("USE velmora_types")) << c.describe_diagnostics();
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM all_types")) << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "5");

    odbc_client missing;
    EXPECT_FALSE(missing.connect(connection("no_such_db")));
    bool cannot_open = false;
    for (const auto& d : missing.diagnostics())
        cannot_open |= d.native == 4060 && d.state == "42000";
    EXPECT_TRUE(cannot_open) << missing.describe_diagnostics();
}

TEST_F(TdsServer, RecordsEveryStatementAsSent) {
    odbc_client c;
    connect(c);
    const std::string first = "SELECT COUNT_BIG(*) FROM [dbo].[all_types]";
    const std::string second = "SELECT  *\n FROM nowhere";
    ASSERT_TRUE(c.execute(first));
    c.close_cursor();
    EXPECT_FALSE(c.execute(second));
    EXPECT_EQ(server_->statements(), (std::vector<std::string>{first, second}));
}

TEST_F(TdsServer, AnswersPreparedStatementsAndCannedAnswers) {
    odbc_client c;
    connect(c, "velmora_shop");
    const std::string count = "SELECT COUNT_BIG(*) FROM [sales].[customers]";
    ASSERT_TRUE(c.prepare(count)) << c.describe_diagnostics();
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(c.execute_prepared()) << c.describe_diagnostics();
        ASSERT_EQ(c.fetch(), SQL_SUCCESS);
        EXPECT_EQ(c.text(1), "3");
    }
    EXPECT_EQ(server_->statements(), (std::vector<std::string>{count, count}));

    ASSERT_TRUE(c.prepare("SELECT * FROM nowhere"));
    EXPECT_FALSE(c.execute_prepared());
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].native, 208);

    ASSERT_TRUE(c.execute("select serverproperty('Edition')")) << c.describe_diagnostics();
    ASSERT_EQ(c.columns().size(), 1u);
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "Developer Edition (64-bit)");
}

struct error_case {
    const char* statement;
    const char* state;
    SQLINTEGER native;
    const char* message;
};

TEST_F(TdsServer, AnswersUnknownStatementsWithSqlServerErrors) {
    const error_case cases[] = {
        {"SELECT * FROM [dbo].[nosuch]", "42S02", 208, "Invalid object name 'dbo.nosuch'."},
        {"SELECT COUNT_BIG(*) FROM nosuch", "42S02", 208, "Invalid object name 'nosuch'."},
        {"SELECT nope FROM all_types", "42S22", 207, "Invalid column name 'nope'."},
        {"exec sp_nothing", "42000", 2812, "Could not find stored procedure 'sp_nothing'."},
        {"SELECT a.c_int FROM all_types a JOIN [sales].[nosuch] b ON a.id = b.id", "42S02", 208,
         "Invalid object name 'sales.nosuch'."},
        {"SELECT * FROM all_types WHERE c_int = 1", "42000", 50000,
         "The TDS test server cannot answer this statement: SELECT * FROM all_types WHERE c_int "
         "= 1"},
        {"SELECT name FROM sys.things", "42000", 50000,
         "The TDS test server cannot answer this statement: SELECT name FROM sys.things"},
        {"FROBNICATE all_types", "42000", 102, "Incorrect syntax near 'all_types'."},
        // A derived table may not be ordered unless TOP, OFFSET or FOR XML limits it.
        {"SELECT COUNT_BIG(*) FROM (SELECT * FROM all_types ORDER BY c_int) as query", "42000",
         1033,
         "The ORDER BY clause is invalid in views, inline functions, derived tables, subqueries, "
         "and common table expressions, unless TOP, OFFSET or FOR XML is also specified."},
        {"SELECT COUNT_BIG(*) FROM (SELECT TOP 5 * FROM all_types ORDER BY c_int) as query",
         "42000", 50000,
         "The TDS test server cannot answer this statement: SELECT COUNT_BIG(*) FROM (SELECT TOP "
         "5 * FROM all_types ORDER BY c_int) as query"},
    };
    odbc_client c;
    connect(c);
    for (const auto& e : cases) {
        SCOPED_TRACE(e.statement);
        EXPECT_FALSE(c.execute(e.statement));
        ASSERT_FALSE(c.diagnostics().empty());
        EXPECT_EQ(c.diagnostics()[0].state, e.state);
        EXPECT_EQ(c.diagnostics()[0].native, e.native);
        EXPECT_EQ(c.diagnostics()[0].message, std::string("[FreeTDS][SQL Server]") + e.message);
    }
}

// Block comments nest, as in SQL Server: a ";" or a quote inside an inner comment is comment,
// what follows the outer end is code, and a comment left open refuses the whole batch.
TEST_F(TdsServer, ReadsBlockCommentsNestedAsSqlServerDoes) {
    odbc_client c;
    connect(c, "velmora_types");
    for (const char* batch :
         {"SELECT COUNT_BIG(*) FROM [dbo].[all_types] /* a /* b */ ; SELECT nope FROM x */",
          "SELECT COUNT_BIG(*) /* ' */ FROM /* /* \" */ ] */ [dbo].[all_types]",
          "/* -- */ SELECT COUNT_BIG(*) FROM [dbo].[all_types] -- /* \n;"}) {
        SCOPED_TRACE(batch);
        ASSERT_TRUE(c.execute(batch)) << c.describe_diagnostics();
        ASSERT_EQ(c.fetch(), SQL_SUCCESS);
        EXPECT_EQ(c.text(1), "5");
        EXPECT_EQ(c.fetch(), SQL_NO_DATA);
        EXPECT_FALSE(c.more_results());
        c.close_cursor();
    }
    // Open at its end: nothing of the batch runs, not even the statement before the comment.
    EXPECT_FALSE(c.execute("SELECT COUNT_BIG(*) FROM [dbo].[all_types]; SELECT 1 /* /* */"));
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].native, 113);
    EXPECT_EQ(c.diagnostics()[0].message, "[FreeTDS][SQL Server]Missing end comment mark '*/'.");
}

TEST_F(TdsServer, RefusesUnknownLoginsAndEveryLoginWhenToldTo) {
    struct login_case {
        std::string user, password;
        bool refuse_all;
    };
    const login_case cases[] = {
        {"sa", "wrong", false},
        {"nobody", password, false},
        {"sa", password, true},
    };
    for (const auto& l : cases) {
        SCOPED_TRACE(l.user + "/" + l.password);
        server_->refuse_logins(l.refuse_all);
        odbc_client c;
        EXPECT_FALSE(c.connect(server_->odbc_connection_string(l.user, l.password)));
        ASSERT_FALSE(c.diagnostics().empty());
        EXPECT_EQ(c.diagnostics()[0].state, "42000");
        EXPECT_EQ(c.diagnostics()[0].native, 18456);
        EXPECT_EQ(c.diagnostics()[0].message,
                  "[FreeTDS][SQL Server]Login failed for user '" + l.user + "'.");
    }
    server_->refuse_logins(false);
    odbc_client ok;
    EXPECT_TRUE(ok.connect(server_->odbc_connection_string("reader", "reader-pw")))
        << ok.describe_diagnostics();
}

TEST_F(TdsServer, FailsANamedStatementWithTheChosenError) {
    server_->fail_statement("FROM [dbo].[all_types]",
                            {208, 16, 1, "Invalid object name 'dbo.all_types'."});
    server_->fail_statement("c_bit", {50001, 16, 1, "Custom failure."});
    odbc_client c;
    connect(c);
    EXPECT_FALSE(c.execute("SELECT *   FROM [dbo].[all_types]"));
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].state, "42S02");
    EXPECT_EQ(c.diagnostics()[0].native, 208);
    EXPECT_FALSE(c.execute("SELECT c_bit FROM all_types"));
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].state, "42000");
    EXPECT_EQ(c.diagnostics()[0].native, 50001);
    // Other statements still work on the same connection.
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM all_types")) << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "5");
}

TEST_F(TdsServer, DropsTheConnectionInTheMiddleOfAResult) {
    server_->drop_connection_after_rows("many_rows", 3);
    odbc_client c;
    connect(c, "velmora_shop");
    ASSERT_TRUE(c.execute("SELECT * FROM [audit].[many_rows]")) << c.describe_diagnostics();
    for (int row = 1; row <= 3; ++row) {
        ASSERT_EQ(c.fetch(), SQL_SUCCESS) << c.describe_diagnostics();
        EXPECT_EQ(c.text(1), std::to_string(row));
    }
    EXPECT_FALSE(SQL_SUCCEEDED(c.fetch()));
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].native, 20017) << c.describe_diagnostics();
    EXPECT_TRUE(c.connection_dead());
}

TEST_F(TdsServer, StreamsAMillionRows) {
    odbc_client c;
    connect(c, "velmora_shop");
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM [audit].[many_rows]"));
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "1000000");
    c.close_cursor();
    ASSERT_TRUE(c.execute("SELECT id, label, amount FROM [audit].[many_rows]"))
        << c.describe_diagnostics();
    long rows = 0;
    std::string last_label, last_amount;
    while (c.fetch() == SQL_SUCCESS) {
        ++rows;
        auto id = c.bytes(1); // SQL_C_BINARY of an int: its four bytes
        ASSERT_TRUE(id);
        std::int32_t value = 0;
        std::memcpy(&value, id->data(), 4);
        ASSERT_EQ(value, rows);
        if (rows == 1000000) {
            last_label = c.text(2).value_or("");
            last_amount = c.text(3).value_or("");
        }
    }
    EXPECT_EQ(rows, 1000000);
    EXPECT_EQ(last_label, "row 1000000");
    EXPECT_EQ(last_amount, "1000000.25");
}

TEST_F(TdsServer, ServesSeveralConnectionsAtOnce) {
    odbc_client first, second;
    connect(first, "velmora_shop");
    connect(second, "velmora_types");
    ASSERT_TRUE(first.execute("SELECT id FROM audit.many_rows")) << first.describe_diagnostics();
    ASSERT_TRUE(second.execute("SELECT id FROM all_types")) << second.describe_diagnostics();
    for (int row = 1; row <= 5; ++row) {
        ASSERT_EQ(first.fetch(), SQL_SUCCESS);
        ASSERT_EQ(second.fetch(), SQL_SUCCESS);
        EXPECT_EQ(first.text(1), std::to_string(row));
        EXPECT_EQ(second.text(1), std::to_string(row));
    }
    EXPECT_EQ(second.fetch(), SQL_NO_DATA);
    ASSERT_EQ(first.fetch(), SQL_SUCCESS);
    EXPECT_EQ(first.text(1), "6");
}

// The provider's TABLES schema-rowset query with the given restrictions and order.
std::string tables_rowset(const std::string& conditions, const std::string& order) {
    return "SELECT * FROM (SELECT [TABLE_CATALOG] = DB_NAME(), [TABLE_SCHEMA] = s.name, "
           "[TABLE_NAME] = o.name, [TABLE_TYPE] = N'TABLE', [TABLE_GUID] = NULL, [DESCRIPTION] = "
           "NULL, [TABLE_PROPID] = NULL, [DATE_CREATED] = o.create_date, [DATE_MODIFIED] = "
           "o.modify_date FROM sys.objects o JOIN sys.schemas s ON s.schema_id = o.schema_id) AS "
           "r WHERE 1 = 1" +
           conditions + " ORDER BY " + order;
}

// Statements of about `size` characters, each built so that the long part lands where one of
// the recognisers reads: a literal, a list, a name, a nesting. A long statement gets its answer
// or an error, the server stays up and the connection stays usable.
TEST_F(TdsServer, AnswersStatementsOfAnyLengthWithoutFailing) {
    struct long_case {
        const char* what;
        std::string (*build)(std::size_t size);
        SQLINTEGER native; // 0: answered with a result
        long rows;         // rows of that result
    };
    const long_case cases[] = {
        {"schema rowset restricted by a long name",
         [](std::size_t n) {
             return tables_rowset(" AND [TABLE_NAME] = N'" + repeated("it''s", n / 5) + "'",
                                  "[TABLE_NAME]");
         },
         0, 0},
        {"schema rowset with a long order",
         [](std::size_t n) {
             return tables_rowset(" AND [TABLE_NAME] = N'all_types'",
                                  repeated("[TABLE_NAME] DESC, ", n / 19) + "[TABLE_NAME]");
         },
         0, 1},
        {"schema rowset with a long unknown column",
         [](std::size_t n) {
             return tables_rowset(" AND [" + std::string(n, 'X') + "] = 1", "[TABLE_NAME]");
         },
         103, 0},
        {"column list padded with white space",
         [](std::size_t n) {
             return "SELECT " + repeated("c_int," + std::string(n / 4000, ' '), 4000) +
                    "id FROM all_types";
         },
         0, 5},
        {"column list over SQL Server's limit",
         [](std::size_t n) { return "SELECT " + repeated("c_int, ", n / 7) + "id FROM all_types"; },
         1056, 0},
        {"long unknown word", [](std::size_t n) { return "SELECT " + std::string(n, 'w'); }, 103,
         0},
        {"statement quoted whole in its error",
         [](std::size_t n) {
             return "SELECT id FROM all_types WHERE id IN (" + repeated("1, ", n / 3) + "1)";
         },
         50000, 0},
        {"unclosed literal", [](std::size_t n) { return "SELECT '" + std::string(n, 'q'); }, 105,
         0},
        {"deeply nested count",
         [](std::size_t n) {
             const std::size_t depth = n / 30;
             return repeated("SELECT COUNT_BIG(*) FROM (", depth) + "SELECT * FROM all_types" +
                    repeated(") AS x", depth);
         },
         191, 0},
    };
    odbc_client c;
    connect(c);
    for (std::size_t size : {std::size_t{40000}, std::size_t{1000000}}) {
        for (const long_case& l : cases) {
            SCOPED_TRACE(std::string(l.what) + ", " + std::to_string(size) + " characters");
            const std::string statement = l.build(size);
            ASSERT_GE(statement.size(), size * 9 / 10);
            if (l.native == 0) {
                ASSERT_TRUE(c.execute(statement)) << c.describe_diagnostics();
                EXPECT_EQ(static_cast<long>(all_rows(c).size()), l.rows);
            } else {
                EXPECT_FALSE(c.execute(statement));
                ASSERT_FALSE(c.diagnostics().empty());
                EXPECT_EQ(c.diagnostics()[0].native, l.native) << c.describe_diagnostics();
                // Messages are cut as SQL Server cuts them, after 2047 characters.
                EXPECT_LE(c.diagnostics()[0].message.size(),
                          std::string("[FreeTDS][SQL Server]").size() + 2047);
            }
            c.close_cursor();
            ASSERT_TRUE(c.execute("SELECT @@VERSION")) << c.describe_diagnostics();
            c.close_cursor();
        }
    }
}

TEST_F(TdsServer, CancelsALongResultAndStaysUsable) {
    odbc_client c;
    connect(c, "velmora_shop");
    ASSERT_TRUE(c.execute("SELECT * FROM [audit].[many_rows]")) << c.describe_diagnostics();
    for (int row = 1; row <= 10; ++row)
        ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    c.close_cursor();
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM sales.customers")) << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "3");
}

} // namespace
