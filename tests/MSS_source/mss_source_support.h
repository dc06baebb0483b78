// Shared by the MS SQL source tests: a stub server registered as the Native Client provider,
// an engine connected to it, and builders for result sets.
#pragma once

#include "MSS/mss_engi.h"
#include "tests/MSS/mss_test_support.h"
#include "tests/support/stub_provider.h"

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mss_test {

inline oledb_column text(const char16_t* name, DBLENGTH size = 100) {
    return {name, DBTYPE_WSTR, size};
}

inline oledb_column typed(const char16_t* name, DBTYPE type, DBLENGTH size, BYTE precision = 0xFF,
                          BYTE scale = 0xFF) {
    return {name, type, size, precision, scale};
}

// One row of texts; a missing value (nullopt) is NULL.
inline oledb_row row(std::initializer_list<std::optional<std::u16string>> values) {
    oledb_row out;
    for (const auto& v : values) {
        out.push_back(v ? oledb_value::of_text(*v) : oledb_value::null());
    }
    return out;
}

// A server with the statements every connect sends, for a given @@VERSION text.
inline void add_connect_answers(test_support::stub_server& server, const std::u16string& version) {
    server.statements[u"SELECT @@VERSION"] = {{text(u"v", 200)}, {row({version})}};
    server.statements[u"SELECT name from master.sys.databases ORDER BY name"] = {
        {text(u"name")}, {row({u"master"}), row({u"Shop"}), row({u"O'Brien]s db"})}};
    server.statements[u"SELECT name from master.sys.sysdatabases ORDER BY name"] =
        server.statements[u"SELECT name from master.sys.databases ORDER BY name"];
    server.statements[u"exec sp_helpsort"] = {{text(u"Server default collation", 400)},
                                              {row({u"Latin1-General, case-insensitive"})}};
}

inline const std::u16string version_2019 =
    u"Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) Sep 24 2019 13:48:23";

// COM, a trace log, the stub provider as SQLNCLI11, and an engine.
class source_fixture : public mss_fixture {
protected:
    void SetUp() override {
        mss_fixture::SetUp();
        add_connect_answers(*server, version_2019);
        // A database whose tables rowset is empty asks the stored procedure, which lists none.
        for (const char16_t* sql : {u"exec sp_tables @table_owner='dbo', @table_type=\"'TABLE'\"",
                                    u"exec sp_tables @table_type=\"'TABLE'\""}) {
            server->statements[sql] = {
                {text(u"TABLE_QUALIFIER"), text(u"TABLE_OWNER"), text(u"TABLE_NAME")}, {}};
        }
        engine = std::make_unique<mss_engine>(1);
    }

    void TearDown() override {
        engine.reset();
        mss_fixture::TearDown();
    }

    void connect() { engine->connect(L"stub", L"sa", L"secret", true); }

    std::shared_ptr<test_support::stub_server> server =
        std::make_shared<test_support::stub_server>();
    test_support::stub_provider_scope provider{CLSID_SQLNCLI11, server};
    std::unique_ptr<mss_engine> engine;
};

} // namespace mss_test
