// Bulk load into the TDS test server through FreeTDS's bulk copy for ODBC (bcp_* of odbcss.h):
// INSERT BULK, the BULKLOAD stream, batches, kept identities and SQL Server's refusals.
#include "odbc_client.h"

#include "tests/support/tds_server/tds_bulk.h"
#include "tests/support/tds_server/tds_server.h"

#define TDSODBC_BCP
#include <odbcss.h>

// GoogleTest has a SUCCEED of its own.
constexpr int bcp_ok = SUCCEED;
constexpr int bcp_in = 1; // DB_IN
#undef SUCCEED

// After odbcss.h: GoogleTest's SUCCEED would otherwise stand in its way.
#include "tds_write_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// One bound column: a 4-byte length prefix (-1 for NULL) followed by the value.
struct bound {
    std::string buffer = std::string(4 + 64, '\0');
    void set(const std::string* value) {
        const std::int32_t length = value ? static_cast<std::int32_t>(value->size()) : -1;
        std::memcpy(buffer.data(), &length, 4);
        if (value)
            std::memcpy(buffer.data() + 4, value->data(), value->size());
    }
};

class TdsBulk : public tds_write_test {
protected:
    void SetUp() override {
        tds_write_test::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        bulk_.enable_bulk_copy();
        ASSERT_TRUE(bulk_.connect(connection_string())) << bulk_.describe_diagnostics();
        run("CREATE TABLE [dbo].[b] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
            "[name] nvarchar(10) NULL, [code] varchar(5) NULL, [amount] decimal(10,2) NULL, "
            "[at] datetime2(3) NULL, [bytes] varbinary(max) NULL, [flag] bit NULL, "
            "[rv] rowversion)");
    }
    // Starts a bulk copy into dbo.b, every column bound as text but the bytes.
    void start(bool keep_identity) {
        HDBC h = bulk_.connection();
        ASSERT_EQ(bcp_initA(h, "[dbo].[b]", nullptr, nullptr, bcp_in), bcp_ok);
        if (keep_identity) {
            // FreeTDS sends the identity column for BCPKEEPIDENTITY, but only the hint makes the
            // server keep its values.
            ASSERT_EQ(bcp_control(h, BCPKEEPIDENTITY, reinterpret_cast<void*>(1)), bcp_ok);
            ASSERT_EQ(bcp_control(h, BCPHINTS, const_cast<char*>("KEEP_IDENTITY")), bcp_ok);
        }
        for (int i = 0; i < 7; ++i) {
            const int type = i == 5 ? BCP_TYPE_SQLVARBINARY : BCP_TYPE_SQLCHAR;
            ASSERT_EQ(bcp_bind(h, reinterpret_cast<const unsigned char*>(columns_[i].buffer.data()),
                               4, SQL_VARLEN_DATA, nullptr, 0, type, i + 1),
                      bcp_ok)
                << i;
        }
    }
    // Sends one row; nullptr is NULL.
    bool send(std::initializer_list<const std::string*> values) {
        int i = 0;
        for (const std::string* v : values)
            columns_[i++].set(v);
        return bcp_sendrow(bulk_.connection()) == bcp_ok;
    }
    odbc_client bulk_;
    bound columns_[7];
};

TEST_F(TdsBulk, LoadsRowsInBatchesAndKeepsIdentities) {
    start(true);
    const std::string id1 = "7", id2 = "9", id3 = "12", name = "Zoë", code = "ab", empty;
    const std::string amount = "12.35", at = "2024-02-29 13:45:30.123", bytes("\0\xff", 2);
    const std::string yes = "1";
    ASSERT_TRUE(send({&id1, &name, &code, &amount, &at, &bytes, &yes}));
    ASSERT_TRUE(send({&id2, nullptr, &empty, nullptr, nullptr, &empty, nullptr}));
    EXPECT_EQ(bcp_batch(bulk_.connection()), 2);
    ASSERT_TRUE(send({&id3, &code, nullptr, nullptr, nullptr, nullptr, nullptr}));
    EXPECT_EQ(bcp_done(bulk_.connection()), 1);
    // An empty value stays empty, not NULL; the rowversion is the server's own.
    EXPECT_EQ(
        rows("SELECT id, name, code, amount, at, bytes, flag FROM b"),
        (std::vector<std::string>{"7|Zoë|ab|12.35|2024-02-29 13:45:30.123|00ff|1",
                                  "9|NULL||NULL|NULL||NULL", "12|ab|NULL|NULL|NULL|NULL|NULL"}));
    // Each batch is an INSERT BULK and a BULKLOAD message of its own.
    std::size_t inserts = 0, loads = 0;
    for (const auto& s : server_->statements()) {
        inserts += s.rfind("insert bulk [dbo].[b]", 0) == 0;
        loads += s.rfind("BULKLOAD", 0) == 0;
    }
    EXPECT_EQ(inserts, 2u);
    EXPECT_EQ(loads, 2u);
}

TEST_F(TdsBulk, NumbersTheRowsWithoutKeepIdentity) {
    start(false);
    const std::string id = "50", code = "x";
    ASSERT_TRUE(send({&id, nullptr, &code, nullptr, nullptr, nullptr, nullptr}));
    ASSERT_TRUE(send({&id, nullptr, &code, nullptr, nullptr, nullptr, nullptr}));
    EXPECT_EQ(bcp_done(bulk_.connection()), 2);
    EXPECT_EQ(rows("SELECT id, code FROM b"), (std::vector<std::string>{"1|x", "2|x"}));
}

TEST_F(TdsBulk, FailsABatchWhenToldTo) {
    server_->fail_statement("BULKLOAD", {4815, 16, 1, "Bulk load refused by the test."});
    start(false);
    const std::string code = "z";
    ASSERT_TRUE(send({nullptr, nullptr, &code, nullptr, nullptr, nullptr, nullptr}));
    EXPECT_EQ(bcp_done(bulk_.connection()), -1);
    bulk_.collect_connection_diagnostics();
    ASSERT_FALSE(bulk_.diagnostics().empty());
    EXPECT_EQ(bulk_.diagnostics()[0].native, 4815);
    EXPECT_TRUE(rows("SELECT id FROM b").empty());
}

TEST_F(TdsBulk, RefusesTheWholeBatchOfABadRow) {
    run("SET IDENTITY_INSERT b ON;INSERT INTO b (id, code) VALUES (1, 'x');SET IDENTITY_INSERT b "
        "OFF");
    start(true);
    const std::string two = "2", one = "1", code = "y";
    ASSERT_TRUE(send({&two, nullptr, &code, nullptr, nullptr, nullptr, nullptr}));
    ASSERT_TRUE(send({&one, nullptr, &code, nullptr, nullptr, nullptr, nullptr}));
    EXPECT_EQ(bcp_done(bulk_.connection()), -1);
    bulk_.collect_connection_diagnostics();
    ASSERT_FALSE(bulk_.diagnostics().empty());
    EXPECT_EQ(bulk_.diagnostics()[0].native, 2627) << bulk_.describe_diagnostics();
    EXPECT_EQ(rows("SELECT id, code FROM b"), std::vector<std::string>{"1|x"});
}

} // namespace

namespace {

// The stream reader alone, with crafted BULKLOAD messages: whatever a client sends, the batch is
// taken whole or refused whole.
class TdsBulkStream : public ::testing::Test {
protected:
    void SetUp() override {
        catalogue_.databases.push_back(tds_load_fixture(tds_fixture_dir() + "/all_types.tds"));
        answer("CREATE TABLE s (id int NOT NULL PRIMARY KEY, name nvarchar(3))");
    }
    tds_answer answer(const std::string& statement) {
        tds_statement_context ctx{catalogue_, catalogue_.databases.front(), &session_};
        return tds_answer_statement(ctx, statement);
    }
    tds_answer load(const std::string& payload) {
        EXPECT_FALSE(answer("insert bulk s ([id] INT, [name] NVARCHAR(3))").error);
        tds_statement_context ctx{catalogue_, catalogue_.databases.front(), &session_};
        return tds_bulk_load(ctx, payload);
    }
    std::uint64_t rows() {
        return catalogue_.databases.front().find_table("dbo", "s")->rows.size();
    }
    tds_catalogue catalogue_;
    tds_session_state session_;
};

// COLMETADATA of s as a client describes it: INTN(4) id, NVARCHAR(6 bytes) name.
std::string metadata() {
    std::string m("\x81\x02\x00", 3);
    m += std::string("\0\0\0\0\x09\x00\x26\x04", 8) + "\x02" + std::string("i\0d\0", 4);
    m += std::string("\0\0\0\0\x09\x00\xE7\x06\x00\x09\x04\xD0\x00\x34", 14) + "\x04" +
         std::string("n\0a\0m\0e\0", 8);
    return m;
}

std::string row(std::int32_t id, const std::string& utf16) {
    std::string r("\xD1\x04", 2);
    r.append(reinterpret_cast<const char*>(&id), 4);
    const auto n = static_cast<std::uint16_t>(utf16.size());
    r.append(reinterpret_cast<const char*>(&n), 2);
    return r + utf16;
}

const std::string done("\xFD\0\0\0\0\0\0\0\0\0\0\0\0", 13);

TEST_F(TdsBulkStream, TakesAWholeBatchOrNothing) {
    const std::string ab("a\0b\0", 4), abcd("a\0b\0c\0d\0", 8);
    tds_answer ok = load(metadata() + row(1, ab) + row(2, ab) + done);
    ASSERT_FALSE(ok.error) << ok.error->text;
    EXPECT_EQ(ok.affected, 2u);
    struct crafted {
        const char* what;
        std::string payload;
        std::int32_t number;
    };
    const crafted cases[] = {
        {"ends inside a row", metadata() + row(3, ab) + row(4, ab).substr(0, 5), 4804},
        {"an INTN of 3 bytes",
         metadata() + row(3, ab) + std::string("\xD1\x03\x01\x02\x03\x00\x00", 7), 4804},
        {"UTF-16 of an odd length", metadata() + row(3, ab) + row(4, std::string("a\0b", 3)), 4804},
        {"a row before the columns", row(3, ab) + done, 4804},
        {"a token nobody sends", metadata() + row(3, ab) + "\x42" + done, 4804},
        {"a value longer than its column", metadata() + row(3, ab) + row(4, abcd) + done, 4815},
        {"a duplicate key", metadata() + row(3, ab) + row(1, ab) + done, 2627},
        {"a column count that is not INSERT BULK's", std::string("\x81\x01\x00", 3) + done, 4804},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tds_answer a = load(c.payload);
        ASSERT_TRUE(a.error);
        EXPECT_EQ(a.error->number, c.number) << a.error->text;
        EXPECT_EQ(rows(), 2u);
    }
    // Rows without an INSERT BULK just before them are refused too.
    tds_statement_context ctx{catalogue_, catalogue_.databases.front(), &session_};
    EXPECT_FALSE(answer("insert bulk s ([id] INT, [name] NVARCHAR(3))").error);
    EXPECT_FALSE(answer("SELECT COUNT_BIG(*) FROM s").error);
    tds_answer stray = tds_bulk_load(ctx, metadata() + row(9, ab) + done);
    ASSERT_TRUE(stray.error);
    EXPECT_EQ(stray.error->number, 4804);
    EXPECT_EQ(rows(), 2u);
}

} // namespace

namespace {

// Every type FreeTDS bulk-copies, each value given as text for FreeTDS to convert, read back
// through FreeTDS as the same text. (FreeTDS 1.3 refuses text for a datetimeoffset column in
// bcp_sendrow, before anything reaches the server.)
TEST_F(TdsBulk, LoadsEveryTypeThroughFreeTdsBulkCopy) {
    struct typed {
        const char* column;
        const char* type;
        const char* text;
    };
    const typed values[] = {
        {"c_bit", "bit", "1"},
        {"c_tinyint", "tinyint", "255"},
        {"c_smallint", "smallint", "-32768"},
        {"c_int", "int", "-2147483648"},
        {"c_bigint", "bigint", "9223372036854775807"},
        {"c_decimal", "decimal(38,10)", "-1234567890123456789012345678.9012345678"},
        {"c_numeric", "numeric(5,2)", "123.45"},
        {"c_money", "money", "-922337203685477.5808"},
        {"c_smallmoney", "smallmoney", "214748.3647"},
        {"c_real", "real", "0.100000001"},
        {"c_float", "float", "-1.7976931348623157e+308"},
        {"c_date", "date", "2024-02-29"},
        {"c_time7", "time(7)", "13:45:30.1234567"},
        {"c_smalldatetime", "smalldatetime", "2079-06-06 23:59:00"},
        {"c_datetime", "datetime", "2024-02-29 13:45:30.997"},
        {"c_datetime2_7", "datetime2(7)", "9999-12-31 23:59:59.9999999"},
        {"c_char", "char(10)", "abc       "},
        {"c_varchar", "varchar(50)", "hello, world"},
        {"c_varchar_max", "varchar(max)", "short"},
        {"c_nchar", "nchar(10)", "ab        "},
        {"c_nvarchar", "nvarchar(50)", "plain"},
        {"c_nvarchar_max", "nvarchar(max)", "max"},
        {"c_text", "text", "legacy text"},
        {"c_ntext", "ntext", "legacy"},
        {"c_binary", "binary(4)", "00010203"},
        {"c_varbinary", "varbinary(50)", "00ff00"},
        {"c_varbinary_max", "varbinary(max)", "00"},
        {"c_image", "image", "89504e47"},
        {"c_uniqueidentifier", "uniqueidentifier", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
    };
    std::string create = "CREATE TABLE [dbo].[every] (";
    std::string select = "SELECT ";
    for (std::size_t i = 0; i < std::size(values); ++i) {
        create += std::string(i ? ", " : "") + "[" + values[i].column + "] " + values[i].type;
        select += std::string(i ? ", " : "") + values[i].column;
    }
    run(create + ")");
    HDBC h = bulk_.connection();
    ASSERT_EQ(bcp_initA(h, "[dbo].[every]", nullptr, nullptr, bcp_in), bcp_ok);
    std::vector<std::string> buffers;
    for (const auto& v : values) {
        std::string b(4, '\0');
        const auto n = static_cast<std::int32_t>(std::strlen(v.text));
        std::memcpy(b.data(), &n, 4);
        buffers.push_back(b + v.text);
    }
    for (std::size_t i = 0; i < buffers.size(); ++i)
        ASSERT_EQ(bcp_bind(h, reinterpret_cast<const unsigned char*>(buffers[i].data()), 4,
                           SQL_VARLEN_DATA, nullptr, 0, BCP_TYPE_SQLCHAR, static_cast<int>(i + 1)),
                  bcp_ok)
            << values[i].column;
    ASSERT_EQ(bcp_sendrow(h), bcp_ok) << [&] {
        bulk_.collect_connection_diagnostics();
        return bulk_.describe_diagnostics();
    }();
    ASSERT_EQ(bcp_done(h), 1) << [&] {
        bulk_.collect_connection_diagnostics();
        return bulk_.describe_diagnostics();
    }();
    ASSERT_TRUE(c_.execute(select + " FROM every")) << c_.describe_diagnostics();
    ASSERT_TRUE(SQL_SUCCEEDED(c_.fetch()));
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(c_.text(static_cast<SQLUSMALLINT>(i + 1)).value_or("NULL"), values[i].text)
            << values[i].column;
}

} // namespace
