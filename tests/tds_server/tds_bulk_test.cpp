// Bulk load into the TDS test server through FreeTDS's bulk copy for ODBC (bcp_* of odbcss.h):
// INSERT BULK, the BULKLOAD stream, batches, kept identities and SQL Server's refusals.
#include "odbc_client.h"

#include "tests/support/tds_server/tds_server.h"

#define TDSODBC_BCP
#include <odbcss.h>

// GoogleTest has a SUCCEED of its own.
constexpr int bcp_ok = SUCCEED;
constexpr int bcp_in = 1; // DB_IN
#undef SUCCEED

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

class TdsBulk : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<tds_server>(
            std::vector<std::string>{tds_fixture_dir() + "/all_types.tds"});
        server_->start();
        const std::string cs = server_->odbc_connection_string("sa", "Velmora-Pw1");
        ASSERT_TRUE(sql_.connect(cs)) << sql_.describe_diagnostics();
        bulk_.enable_bulk_copy();
        ASSERT_TRUE(bulk_.connect(cs)) << bulk_.describe_diagnostics();
        run("CREATE TABLE [dbo].[b] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
            "[name] nvarchar(10) NULL, [code] varchar(5) NULL, [amount] decimal(10,2) NULL, "
            "[at] datetime2(3) NULL, [bytes] varbinary(max) NULL, [flag] bit NULL, "
            "[rv] rowversion)");
    }
    void run(const std::string& statement) {
        ASSERT_TRUE(sql_.execute(statement)) << statement << "\n" << sql_.describe_diagnostics();
        sql_.close_cursor();
    }
    std::vector<std::string> rows(const std::string& query) {
        std::vector<std::string> out;
        EXPECT_TRUE(sql_.execute(query)) << sql_.describe_diagnostics();
        const std::size_t count = sql_.columns().size();
        while (SQL_SUCCEEDED(sql_.fetch())) {
            std::string row;
            for (std::size_t i = 1; i <= count; ++i)
                row +=
                    (i > 1 ? "|" : "") + sql_.text(static_cast<SQLUSMALLINT>(i)).value_or("NULL");
            out.push_back(row);
        }
        sql_.close_cursor();
        return out;
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
    std::unique_ptr<tds_server> server_;
    odbc_client sql_, bulk_;
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
