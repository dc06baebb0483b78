// The service components: connection strings and data sources by provider name.
#include "platform/oledb/oledb_services.h"

#include "tests/support/stub_provider.h"

#include <gtest/gtest.h>

using test_support::stub_provider_scope;
using test_support::stub_server;

namespace {

std::u16string error_text() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK) {
        return u"<no error object>";
    }
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::u16string result = text ? std::u16string(text, SysStringLen(text)) : u"";
    SysFreeString(text);
    info->Release();
    return result;
}

std::string narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

} // namespace

TEST(connection_string, parses_the_ole_db_syntax) {
    struct parse_case {
        const char* name;
        std::u16string text;
        std::vector<oledb_keyword> pairs;
    };
    const parse_case cases[] = {
        {"plain",
         u"Provider=sqloledb;Data Source=srv;",
         {{u"Provider", u"sqloledb"}, {u"Data Source", u"srv"}}},
        {"blanks dropped",
         u"  User Id =  bob ;Password= x y ",
         {{u"User Id", u"bob"}, {u"Password", u"x y"}}},
        {"double quotes keep ; = and '", u"Password=\"a;b=c'd\"", {{u"Password", u"a;b=c'd"}}},
        {"doubled quote inside",
         u"Password=\"say \"\"hi\"\"\";x=1",
         {{u"Password", u"say \"hi\""}, {u"x", u"1"}}},
        {"single quotes", u"Initial Catalog='it''s;db' ;", {{u"Initial Catalog", u"it's;db"}}},
        {"quoted blanks kept", u"Password=\" p \"", {{u"Password", u" p "}}},
        {"equals in keyword", u"a==b=c", {{u"a=b", u"c"}}},
        {"empty elements", u";;Data Source=;", {{u"Data Source", u""}}},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<oledb_keyword> pairs;
        std::u16string error;
        ASSERT_TRUE(oledb_parse_connection_string(c.text, pairs, error)) << narrow(error);
        EXPECT_EQ(pairs, c.pairs);
    }
    for (const std::u16string bad : {u"Password=\"open", u"x=\"a\"b", u"novalue", u"=v"}) {
        SCOPED_TRACE(narrow(bad));
        std::vector<oledb_keyword> pairs;
        std::u16string error;
        EXPECT_FALSE(oledb_parse_connection_string(bad, pairs, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(connection_string, quoted_values_read_back_unchanged) {
    for (const std::u16string value : {u"plain", u"", u"p;w", u"a=b", u"it's", u"say \"hi\"",
                                       u"both ' and \";", u" padded ", u"\u00e9t\u00e9"}) {
        SCOPED_TRACE(narrow(value));
        const std::u16string text = u"Password=" + oledb_quote_value(value) + u";Data Source=s";
        std::vector<oledb_keyword> pairs;
        std::u16string error;
        ASSERT_TRUE(oledb_parse_connection_string(text, pairs, error)) << narrow(error);
        ASSERT_EQ(pairs.size(), 2u);
        EXPECT_EQ(pairs[0].second, value);
    }
    EXPECT_EQ(oledb_quote_value(u"server1"), u"server1"); // ordinary values stay bare
}

class services_fixture : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }

    HRESULT get_data_source(const std::u16string& text, IUnknown** out) {
        IDataInitialize* services = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IDataInitialize, reinterpret_cast<void**>(&services));
        EXPECT_EQ(hr, S_OK);
        if (FAILED(hr)) {
            return hr;
        }
        hr =
            services->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, text.c_str(), IID_IUnknown, out);
        services->Release();
        return hr;
    }

    std::shared_ptr<stub_server> server = std::make_shared<stub_server>();
    stub_provider_scope provider{test_support::CLSID_StubProvider, server, u"SQLOLEDB"};
};

TEST_F(services_fixture, data_source_gets_the_string_as_initialisation_properties) {
    IUnknown* source = nullptr;
    ASSERT_EQ(get_data_source(u"Provider=sqloledb;Data Source=srv;Initial Catalog=\"my;db\";"
                              u"User Id=sa;Password=\"p;w=d\"\"x'\";Provider=other",
                              &source),
              S_OK)
        << narrow(error_text());
    EXPECT_EQ(server->init_property(DBPROP_INIT_DATASOURCE), u"srv");
    EXPECT_EQ(server->init_property(DBPROP_INIT_CATALOG), u"my;db");
    EXPECT_EQ(server->init_property(DBPROP_AUTH_USERID), u"sa");
    EXPECT_EQ(server->init_property(DBPROP_AUTH_PASSWORD), u"p;w=d\"x'");
    for (const test_support::stub_property& p : server->properties) {
        EXPECT_EQ(p.set, DBPROPSET_DBINIT);
        EXPECT_EQ(p.options, DBPROPOPTIONS_REQUIRED);
        EXPECT_EQ(p.vt, VT_BSTR);
    }

    // Not yet initialised: the caller does that.
    EXPECT_EQ(server->initializations, 0);
    IDBInitialize* init = nullptr;
    ASSERT_EQ(source->QueryInterface(IID_IDBInitialize, reinterpret_cast<void**>(&init)), S_OK);
    server->password = u"p;w=d\"x'";
    EXPECT_EQ(init->Initialize(), S_OK);
    init->Release();
    source->Release();
}

TEST_F(services_fixture, refusals_carry_a_description) {
    struct refusal {
        const char* name;
        std::u16string text;
        HRESULT expected;
    };
    const refusal refusals[] = {
        {"provider not registered", u"Provider=nosuch;Data Source=s", REGDB_E_CLASSNOTREG},
        {"no provider", u"Data Source=s", DB_E_ERRORSOCCURRED},
        {"unknown keyword", u"Provider=sqloledb;Colour=blue", DB_E_ERRORSOCCURRED},
        {"broken syntax", u"Provider=sqloledb;Password=\"open", E_INVALIDARG},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        IUnknown* source = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(get_data_source(r.text, &source), r.expected);
        EXPECT_EQ(source, nullptr);
        EXPECT_NE(error_text(), u"<no error object>");
    }
}

TEST_F(services_fixture, services_can_be_hidden) {
    com_class_scope hidden(CLSID_MSDAINITIALIZE, nullptr);
    void* services = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IDataInitialize, &services),
              REGDB_E_CLASSNOTREG);
}
