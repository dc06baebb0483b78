// Provider initialisation: the order of the providers, their properties, the connection string.
#include "MSS/odb_init.h"

#include "MSS/odb_exce.h"
#include "mss_test_support.h"
#include "platform/oledb/oledb_services.h"
#include "tests/support/stub_provider.h"

#include <optional>

using test_support::stub_property;
using test_support::stub_provider_scope;
using test_support::stub_server;

namespace {

// Which providers are installed for one test: each Native Client class and the SQLOLEDB name
// behind the service components, or nothing; the service components themselves may be hidden.
struct installed {
    std::shared_ptr<stub_server> ncli11;
    std::shared_ptr<stub_server> ncli10;
    std::shared_ptr<stub_server> sqloledb;
    bool services = true;
};

// The service components as the program registers them; a test that hides them keeps them out
// of later scopes until it ends.
com_class_factory registered_services() {
    const std::optional<com_class_factory> services = com_registered_class(CLSID_MSDAINITIALIZE);
    EXPECT_TRUE(services.has_value()) << "the service components are hidden already";
    return services.value_or(nullptr);
}

class providers {
public:
    explicit providers(const installed& what)
        : ncli11_(CLSID_SQLNCLI11, nullptr), ncli10_(CLSID_SQLNCLI10, nullptr),
          services_(CLSID_MSDAINITIALIZE, what.services ? registered_services() : nullptr) {
        if (what.ncli11) {
            scopes_.push_back(std::make_unique<stub_provider_scope>(CLSID_SQLNCLI11, what.ncli11));
        }
        if (what.ncli10) {
            scopes_.push_back(std::make_unique<stub_provider_scope>(CLSID_SQLNCLI10, what.ncli10));
        }
        if (what.sqloledb) {
            scopes_.push_back(std::make_unique<stub_provider_scope>(
                test_support::CLSID_StubProvider, what.sqloledb, u"SQLOLEDB"));
        }
    }

private:
    com_class_scope ncli11_; // hides whatever real provider is registered
    com_class_scope ncli10_;
    com_class_scope services_;
    std::vector<std::unique_ptr<stub_provider_scope>> scopes_;
};

std::vector<std::pair<DBPROPID, std::u16string>> dbinit(const stub_server& server) {
    std::vector<std::pair<DBPROPID, std::u16string>> props;
    for (const stub_property& p : server.properties) {
        EXPECT_EQ(p.set, DBPROPSET_DBINIT);
        EXPECT_EQ(p.options, DBPROPOPTIONS_REQUIRED);
        EXPECT_EQ(p.colid_kind, DBKIND_GUID_PROPID); // DB_NULLID
        EXPECT_EQ(p.vt, VT_BSTR);
        props.emplace_back(p.id, p.text);
    }
    return props;
}

using odb_init_test = mss_fixture;

} // namespace

TEST_F(odb_init_test, provider_order_and_native_flag) {
    enum class outcome { ncli11, ncli10, string_path, no_library, refused };
    struct order_case {
        const char* name;
        bool ncli11, ncli10, sqloledb, services;
        bool wrong_password;
        bool native_before;
        outcome expected;
    };
    const order_case cases[] = {
        {"both Native Client providers", true, true, true, true, false, false, outcome::ncli11},
        {"only SQLNCLI10", false, true, true, true, false, false, outcome::ncli10},
        {"only the service components", false, false, true, true, false, true,
         outcome::string_path},
        {"nothing at all", false, false, false, false, false, true, outcome::no_library},
        {"refused login on SQLNCLI11", true, true, true, true, true, false, outcome::refused},
    };
    for (const order_case& c : cases) {
        SCOPED_TRACE(c.name);
        installed what;
        what.ncli11 = c.ncli11 ? std::make_shared<stub_server>() : nullptr;
        what.ncli10 = c.ncli10 ? std::make_shared<stub_server>() : nullptr;
        what.sqloledb = c.sqloledb ? std::make_shared<stub_server>() : nullptr;
        what.services = c.services;

        odb_initializer init;
        ole_com_ptr<IDBInitialize> holder;
        if (c.native_before) {
            // Make the flag true first, to see what the case does to it; before the case's own
            // providers are in place, which may hide the service components these need.
            installed native{std::make_shared<stub_server>(), nullptr, nullptr, true};
            providers earlier(native);
            init.test_connection(holder, L"srv", L"sa", L"secret", L"");
            ASSERT_TRUE(init.is_native());
        }
        providers installed_now(what);
        const bool native_before = init.is_native();
        const std::wstring password = c.wrong_password ? L"wrong" : L"secret";

        switch (c.expected) {
        case outcome::ncli11:
        case outcome::ncli10:
        case outcome::string_path:
            init.test_connection(holder, L"srv", L"sa", password, L"db");
            EXPECT_TRUE(holder);
            break;
        case outcome::no_library:
            try {
                init.test_connection(holder, L"srv", L"sa", password, L"db");
                FAIL() << "no exception";
            } catch (const odb_exception&) {
                FAIL() << "odb_exception instead of the support-library message";
            } catch (const tk_exception& e) {
                EXPECT_EQ(e.message, "Failed to load OLE DB support library. You should install "
                                     "it\r\nto proceed with the application.\r\n");
                EXPECT_EQ(e.level, 1);
            }
            break;
        case outcome::refused:
            try {
                init.test_connection(holder, L"srv", L"sa", password, L"db");
                FAIL() << "no exception";
            } catch (const odb_exception& e) {
                EXPECT_EQ(e.code, 0x80E4D);
                EXPECT_EQ(e.message, "Login failed for user 'sa'.");
                EXPECT_EQ(e.native_error, 18456);
            }
            break;
        }

        const auto initialised = [](const std::shared_ptr<stub_server>& s) {
            return s ? s->initializations : 0;
        };
        EXPECT_EQ(initialised(what.ncli11), c.expected == outcome::ncli11 ? 1 : 0);
        EXPECT_EQ(initialised(what.ncli10), c.expected == outcome::ncli10 ? 1 : 0);
        EXPECT_EQ(initialised(what.sqloledb), c.expected == outcome::string_path ? 1 : 0);
        if (c.expected == outcome::refused) {
            // The installed provider refused: the next one is not asked.
            EXPECT_FALSE(what.ncli10->properties.size());
            EXPECT_FALSE(what.sqloledb->properties.size());
        }
        const bool native_after = c.expected == outcome::ncli11 || c.expected == outcome::ncli10
                                      ? true
                                  : c.expected == outcome::string_path ? false
                                                                       : native_before;
        EXPECT_EQ(init.is_native(), native_after);
    }
}

TEST_F(odb_init_test, native_properties_in_order) {
    struct login_case {
        const char* name;
        std::wstring user, password, database;
        std::vector<std::pair<DBPROPID, std::u16string>> expected;
    };
    const login_case cases[] = {
        {"login with database",
         L"sa",
         L"secret",
         L"Sales",
         {{DBPROP_INIT_DATASOURCE, u"srv"},
          {DBPROP_AUTH_USERID, u"sa"},
          {DBPROP_AUTH_PASSWORD, u"secret"},
          {DBPROP_INIT_CATALOG, u"Sales"}}},
        {"Windows authentication without database",
         L"",
         L"ignored",
         L"",
         {{DBPROP_INIT_DATASOURCE, u"srv"}, {DBPROP_AUTH_INTEGRATED, u"SSPI"}}},
    };
    for (const login_case& c : cases) {
        SCOPED_TRACE(c.name);
        installed what;
        what.ncli11 = std::make_shared<stub_server>();
        providers installed_now(what);
        odb_initializer init;
        ole_com_ptr<IDBInitialize> holder;
        init.test_connection(holder, L"srv", c.user, c.password, c.database);
        EXPECT_EQ(dbinit(*what.ncli11), c.expected);
    }
}

TEST_F(odb_init_test, connection_string_forms) {
    struct string_case {
        const char* name;
        std::wstring user, password, database;
        std::wstring expected;
    };
    const string_case cases[] = {
        {"login with database", L"sa", L"secret", L"Sales",
         L"Provider=sqloledb;Data Source=srv;Initial Catalog=Sales;User Id=sa;Password=secret;"},
        {"Windows authentication", L"", L"", L"",
         L"Provider=sqloledb;Data Source=srv;Integrated Security=SSPI;"},
        {"login without database", L"sa", L"", L"",
         L"Provider=sqloledb;Data Source=srv;User Id=sa;Password=;"},
        {"values that need quotes", L"o'neil", L"p;w=\"d", L"my db;x",
         L"Provider=sqloledb;Data Source=srv;Initial Catalog=\"my db;x\";User Id=\"o'neil\";"
         L"Password=\"p;w=\"\"d\";"},
    };
    for (const string_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(odb_initializer::connection_string(L"srv", c.user, c.password, c.database),
                  c.expected);
    }
}

TEST_F(odb_init_test, password_and_database_with_separators_reach_the_provider) {
    installed what;
    what.sqloledb = std::make_shared<stub_server>();
    what.sqloledb->password = u"p;w=d\"x'";
    what.sqloledb->databases = {u"my;db=1"};
    providers installed_now(what);
    odb_initializer init;
    ole_com_ptr<IDBInitialize> holder;
    init.test_connection(holder, L"srv", L"sa", L"p;w=d\"x'", L"my;db=1");
    EXPECT_EQ(what.sqloledb->initializations, 1);
    EXPECT_EQ(what.sqloledb->init_property(DBPROP_AUTH_PASSWORD), u"p;w=d\"x'");
    EXPECT_EQ(what.sqloledb->init_property(DBPROP_INIT_CATALOG), u"my;db=1");
    EXPECT_FALSE(init.is_native());
}
