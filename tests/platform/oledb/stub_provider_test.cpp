// The stub provider's session, as the MS SQL source's tests rely on it: tables by name (with
// DB_E_NOTABLE for a missing one), schema rowsets with restrictions, data-source properties.
#include "tests/support/stub_provider.h"

#include <gtest/gtest.h>

using test_support::stub_provider_scope;
using test_support::stub_server;

namespace {

class stub_session_test : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        server->tables[u"sales.Orders"] = {{{u"id", DBTYPE_I4, 4}}, {{oledb_value::of_text(u"1")}}};
        const auto text = [](const char16_t* t) { return oledb_value::of_text(t); };
        auto table_row = [&](const char16_t* schema, const char16_t* name, const char16_t* type) {
            oledb_row row(9, oledb_value::null());
            row[1] = text(schema);
            row[2] = text(name);
            row[3] = text(type);
            return row;
        };
        server->schema_rows[DBSCHEMA_TABLES] = {table_row(u"dbo", u"A", u"TABLE"),
                                                table_row(u"sales", u"Orders", u"TABLE"),
                                                table_row(u"dbo", u"V", u"VIEW")};

        ASSERT_EQ(CoCreateInstance(test_support::CLSID_StubProvider, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IDBInitialize, reinterpret_cast<void**>(&source)),
                  S_OK);
        IDBProperties* props = nullptr;
        ASSERT_EQ(source->QueryInterface(IID_IDBProperties, reinterpret_cast<void**>(&props)),
                  S_OK);
        DBPROP init[2] = {};
        init[0].dwPropertyID = DBPROP_AUTH_USERID;
        init[0].vValue.vt = VT_BSTR;
        init[0].vValue.bstrVal = SysAllocString(u"sa");
        init[1].dwPropertyID = DBPROP_AUTH_PASSWORD;
        init[1].vValue.vt = VT_BSTR;
        init[1].vValue.bstrVal = SysAllocString(u"secret");
        DBPROPSET set{init, 2, DBPROPSET_DBINIT};
        EXPECT_EQ(props->SetProperties(1, &set), S_OK);
        VariantClear(&init[0].vValue);
        VariantClear(&init[1].vValue);

        server->refuse_fast_load = true;
        DBPROP fast{};
        fast.dwPropertyID = SSPROP_ENABLEFASTLOAD;
        fast.vValue.vt = VT_BOOL;
        fast.vValue.boolVal = VARIANT_TRUE;
        DBPROPSET fast_set{&fast, 1, DBPROPSET_SQLSERVERDATASOURCE};
        EXPECT_EQ(props->SetProperties(1, &fast_set), DB_E_ERRORSOCCURRED);
        EXPECT_EQ(fast.dwStatus, DBPROPSTATUS_NOTSUPPORTED);
        props->Release();

        ASSERT_EQ(source->Initialize(), S_OK);
        IDBCreateSession* creator = nullptr;
        ASSERT_EQ(source->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&creator)),
                  S_OK);
        ASSERT_EQ(creator->CreateSession(nullptr, IID_IOpenRowset,
                                         reinterpret_cast<IUnknown**>(&session)),
                  S_OK);
        creator->Release();
    }

    void TearDown() override {
        session->Release();
        source->Release();
        CoUninitialize();
    }

    std::shared_ptr<stub_server> server = std::make_shared<stub_server>();
    stub_provider_scope provider{test_support::CLSID_StubProvider, server};
    IDBInitialize* source = nullptr;
    IOpenRowset* session = nullptr;
};

} // namespace

TEST_F(stub_session_test, tables_open_by_name_and_a_missing_one_is_db_e_notable) {
    for (const std::u16string name : {u"[sales].[Orders]", u"sales.Orders"}) {
        std::u16string copy = name;
        DBID id{};
        id.eKind = DBKIND_NAME;
        id.uName.pwszName = copy.data();
        IUnknown* rowset = nullptr;
        EXPECT_EQ(session->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 0, nullptr, &rowset),
                  S_OK);
        ASSERT_NE(rowset, nullptr);
        rowset->Release();
    }
    std::u16string missing = u"[sales].[Nope]";
    DBID id{};
    id.eKind = DBKIND_NAME;
    id.uName.pwszName = missing.data();
    IUnknown* rowset = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(session->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 0, nullptr, &rowset),
              DB_E_NOTABLE);
    EXPECT_EQ(rowset, nullptr);
    IErrorInfo* error = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &error), S_OK);
    error->Release();
}

TEST_F(stub_session_test, tables_schema_rowset_honours_schema_and_type_restrictions) {
    IDBSchemaRowset* schema = nullptr;
    ASSERT_EQ(session->QueryInterface(IID_IDBSchemaRowset, reinterpret_cast<void**>(&schema)),
              S_OK);
    VARIANT restrictions[4];
    for (VARIANT& v : restrictions) {
        VariantInit(&v);
    }
    restrictions[3].vt = VT_BSTR;
    restrictions[3].bstrVal = SysAllocString(u"TABLE");

    const auto count_rows = [&]() {
        IUnknown* unknown = nullptr;
        EXPECT_EQ(schema->GetRowset(nullptr, DBSCHEMA_TABLES, 4, restrictions, IID_IRowset, 0,
                                    nullptr, &unknown),
                  S_OK);
        auto* rowset = static_cast<IRowset*>(unknown);
        HROW* handles = nullptr;
        DBCOUNTITEM got = 0;
        rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles);
        rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr);
        CoTaskMemFree(handles);
        rowset->Release();
        return got;
    };
    EXPECT_EQ(count_rows(), 2u); // every schema, views left out
    restrictions[1].vt = VT_BSTR;
    restrictions[1].bstrVal = SysAllocString(u"sales");
    EXPECT_EQ(count_rows(), 1u);
    for (VARIANT& v : restrictions) {
        VariantClear(&v);
    }
    schema->Release();
}
