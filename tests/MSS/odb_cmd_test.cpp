// Sessions and commands over the stub provider.
#include "MSS/odb_cmd.h"

#include "MSS/odb_exce.h"
#include "mss_test_support.h"
#include "tests/support/stub_provider.h"

using test_support::stub_provider_scope;
using test_support::stub_server;

namespace {

class odb_cmd_test : public mss_fixture {
protected:
    void SetUp() override {
        mss_fixture::SetUp();
        server->statements[u"SELECT name FROM t"] = {
            {{u"name", DBTYPE_WSTR, 10}},
            {{oledb_value::of_text(u"a")}, {oledb_value::of_text(u"b")}}};
        server->statements[u"SET IDENTITY_INSERT [dbo].[t] OFF;"] = {};
        com_error_record error;
        error.result = DB_E_ERRORSINCOMMAND;
        error.description = u"";
        error.source = u"Stub";
        com_error_record detail = error;
        detail.description = u"Invalid column name 'nope'.";
        detail.sqlstate = u"42S22";
        detail.native_error = 207;
        server->failing_statements[u"SELECT nope FROM t"] = {error, detail};

        ASSERT_EQ(CoCreateInstance(test_support::CLSID_StubProvider, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IDBInitialize, source.out_void()),
                  S_OK);
        ole_com_ptr<IDBProperties> props;
        ASSERT_EQ(source->QueryInterface(IID_IDBProperties, props.out_void()), S_OK);
        const std::u16string sspi = u"SSPI";
        DBPROP prop{};
        prop.dwPropertyID = DBPROP_AUTH_INTEGRATED;
        prop.colid = DB_NULLID;
        prop.vValue.vt = VT_BSTR;
        prop.vValue.bstrVal = SysAllocString(sspi.c_str());
        DBPROPSET set{&prop, 1, DBPROPSET_DBINIT};
        ASSERT_EQ(props->SetProperties(1, &set), S_OK);
        VariantClear(&prop.vValue);
        ASSERT_EQ(source->Initialize(), S_OK);
    }

    std::shared_ptr<stub_server> server = std::make_shared<stub_server>();
    stub_provider_scope provider{test_support::CLSID_StubProvider, server};
    ole_com_ptr<IDBInitialize> source;
};

} // namespace

TEST_F(odb_cmd_test, executes_and_hands_back_the_rowset) {
    odb_command command(source.get());
    ole_com_ptr<IRowset> rowset;
    command.execute(L"SELECT name FROM t", &rowset);
    ASSERT_TRUE(rowset);
    HROW rows[100];
    HROW* handles = rows;
    DBCOUNTITEM got = 0;
    EXPECT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles), DB_S_ENDOFROWSET);
    EXPECT_EQ(got, 2u);
    rowset->ReleaseRows(got, rows, nullptr, nullptr, nullptr);
    EXPECT_EQ(server->executed, std::vector<std::u16string>{u"SELECT name FROM t"});
    EXPECT_EQ(server->executed_with_rowset, std::vector<bool>{true});
    EXPECT_EQ(trace_count("odb_command::ctor(2)"), 1);
    EXPECT_EQ(trace_count("odb_command::execute(SELECT name FROM t)"), 1);
    EXPECT_EQ(trace_count("Step #2"), 1);
}

TEST_F(odb_cmd_test, without_an_out_pointer_no_rowset_is_asked_for) {
    odb_command command(source.get());
    command.execute(L"SELECT name FROM t");
    command.execute(L"SET IDENTITY_INSERT [dbo].[t] OFF;");
    EXPECT_EQ(server->executed_with_rowset, (std::vector<bool>{false, false}));
    EXPECT_EQ(trace_count("Step #1, dest=00000000"), 2);

    // A statement without rows leaves the out pointer empty.
    ole_com_ptr<IRowset> rowset;
    command.execute(L"SET IDENTITY_INSERT [dbo].[t] OFF;", &rowset);
    EXPECT_FALSE(rowset);
}

TEST_F(odb_cmd_test, a_failing_statement_runs_once_and_raises_one_exception) {
    ole_com_ptr<IOpenRowset> session;
    {
        ole_com_ptr<IDBCreateSession> creator;
        ASSERT_EQ(source->QueryInterface(IID_IDBCreateSession, creator.out_void()), S_OK);
        ASSERT_EQ(creator->CreateSession(nullptr, IID_IOpenRowset, session.out_unknown()), S_OK);
    }
    odb_command command(session.get());
    EXPECT_EQ(trace_count("odb_command::ctor(1)"), 1);
    ole_com_ptr<IRowset> rowset;
    try {
        command.execute(L"SELECT nope FROM t", &rowset);
        FAIL() << "no exception";
    } catch (const odb_exception& e) {
        EXPECT_EQ(e.message, "Invalid column name 'nope'.");
        EXPECT_EQ(e.code, 0x80E14);
        EXPECT_EQ(e.native_error, 207);
    }
    EXPECT_EQ(server->executed.size(), 1u);
    EXPECT_EQ(trace_count("Error code: 80040E14"), 1);
    EXPECT_FALSE(rowset);

    // The command stays usable.
    command.execute(L"SELECT name FROM t", &rowset);
    EXPECT_TRUE(rowset);
}

TEST_F(odb_cmd_test, session_on_an_uninitialised_data_source_fails) {
    source->Uninitialize();
    EXPECT_THROW(odb_command command(source.get()), odb_exception);
    EXPECT_THROW(odb_command command(static_cast<IOpenRowset*>(nullptr)), tk_mail_assertion);
}
