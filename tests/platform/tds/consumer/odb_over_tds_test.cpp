// The MS SQL source's OLE DB classes over the SQL Server provider and FreeTDS: the provider
// order finds the provider, and its failures arrive as odb_exception with the server's text and
// native number.
#include "tds_provider_support.h"

#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_init.h"
#include "platform/win32/unicode.h"

namespace {

using namespace tds_test;

class OdbOverTds : public provider_test {
protected:
    static std::wstring server() { return win32::to_wide(server_text()); }
};

TEST_F(OdbOverTds, NativeClientPathLogsIn) {
    odb_initializer initializer;
    ole_com_ptr<IDBInitialize> holder;
    initializer.test_connection(holder, server(), L"sa", L"Velmora-Pw1", L"velmora_shop");
    EXPECT_TRUE(initializer.is_native());
    odb_command command(holder.get());
    ole_com_ptr<IRowset> rowset;
    command.execute(L"SELECT COUNT_BIG(*) FROM sales.customers", &rowset);
    ASSERT_TRUE(rowset.get() != nullptr);
    EXPECT_EQ(read_all(rowset.get()).rows.at(0).at(0).text, u"3");
}

TEST_F(OdbOverTds, RefusedLoginIsAnOdbException) {
    odb_initializer initializer;
    ole_com_ptr<IDBInitialize> holder;
    try {
        initializer.test_connection(holder, server(), L"sa", L"wrong", L"");
        FAIL() << "the login was accepted";
    } catch (const odb_exception& e) {
        EXPECT_EQ(e.message, "Login failed for user 'sa'.");
        EXPECT_EQ(e.native_error, 18456);
        EXPECT_EQ(e.code, 0x80E4D); // DB_SEC_E_AUTH_FAILED: "Invalid user name or password."
    }
}

TEST_F(OdbOverTds, FailingStatementIsAnOdbException) {
    odb_initializer initializer;
    ole_com_ptr<IDBInitialize> holder;
    initializer.test_connection(holder, server(), L"sa", L"Velmora-Pw1", L"velmora_shop");
    odb_command command(holder.get());
    server_->fail_statement("FROM sales.orders", {50001, 16, 1, "Custom failure."});
    ole_com_ptr<IRowset> rowset;
    try {
        command.execute(L"SELECT * FROM sales.orders", &rowset);
        FAIL() << "the statement ran";
    } catch (const odb_exception& e) {
        EXPECT_EQ(e.message, "Custom failure.");
        EXPECT_EQ(e.native_error, 50001);
        EXPECT_EQ(e.code, 0x80E14); // DB_E_ERRORSINCOMMAND
    }
}

} // namespace
