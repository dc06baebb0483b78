// A stub OLE DB provider for the tests that need no server: a data source that checks a login,
// sessions that open tables and schema rowsets of an in-memory catalogue, and commands answered
// from a table of statements. Everything it is asked is recorded for the tests to inspect.
#pragma once

#include "platform/com/com_api.h"
#include "platform/oledb/memory_rowset.h"
#include "platform/oledb/oledb.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace test_support {

// Rows and their columns.
struct stub_result {
    std::vector<oledb_column> columns;
    std::vector<oledb_row> rows;
};

// A property as the provider received it.
struct stub_property {
    GUID set;
    DBPROPID id;
    DBPROPOPTIONS options;
    DBKIND colid_kind;
    VARTYPE vt;
    std::u16string text; // VT_BSTR
    LONG number = 0;     // VT_I4, VT_BOOL
};

// A column as ITableDefinition::CreateTable received it.
struct stub_column_desc {
    std::u16string name;
    DBTYPE type = 0;
    DBLENGTH size = 0;
    BYTE precision = 0;
    BYTE scale = 0;
    std::u16string type_name;
    std::vector<stub_property> properties;
};

// A table as ITableDefinition::CreateTable received it.
struct stub_created_table {
    std::u16string name;
    std::vector<stub_column_desc> columns;
};

// The server the stub provider talks to, shared by every object the provider makes.
struct stub_server {
    // The provider's name in its error records.
    std::u16string source = u"Stub OLE DB Provider";

    // Logins: an SQL Server login, or integrated security ("SSPI") when allowed.
    std::u16string user = u"sa";
    std::u16string password = u"secret";
    bool integrated_allowed = true;
    // Databases a login may open; empty means any.
    std::set<std::u16string> databases;
    // Refuses SSPROP_ENABLEFASTLOAD.
    bool refuse_fast_load = false;

    // Tables by "owner.table" (OpenRowset), statement results by text (Execute), statements that
    // fail with these error records, schema rowsets by schema (filtered by restrictions).
    std::map<std::u16string, stub_result> tables;
    std::map<std::u16string, stub_result> statements;
    std::map<std::u16string, std::vector<com_error_record>> failing_statements;
    std::map<GUID, std::vector<oledb_row>, guid_less> schema_rows;
    // Statements not listed above succeed without rows (for tests of statements that change
    // the database, which answer nothing).
    bool accept_unlisted = false;

    // What happened.
    std::vector<stub_property> properties;
    int initializations = 0;
    int uninitializations = 0;
    std::vector<std::u16string> executed;
    std::vector<bool> executed_with_rowset;
    std::vector<std::u16string> opened_tables;
    std::vector<std::vector<stub_property>> opened_table_properties;
    std::vector<GUID> schema_requests;
    std::vector<stub_created_table> created_tables;
    // ITableDefinition::CreateTable fails with these error records when set.
    std::vector<com_error_record> refuse_create_table;

    // The last value of initialisation property `id`, if it was set.
    std::optional<std::u16string> init_property(DBPROPID id) const;
};

// Registers the stub provider under `clsid` (and, when given, the program identifier
// `progid`) for the life of the object, restoring what was there before.
class stub_provider_scope {
public:
    stub_provider_scope(const CLSID& clsid, std::shared_ptr<stub_server> server,
                        std::u16string progid = {});
    ~stub_provider_scope();
    stub_provider_scope(const stub_provider_scope&) = delete;
    stub_provider_scope& operator=(const stub_provider_scope&) = delete;

private:
    com_class_scope class_;
    std::u16string progid_;
};

// A class identifier for stub providers that plays none of the real providers' parts.
inline constexpr CLSID CLSID_StubProvider = {
    0x57AB0001, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

// The error records of a refused login, as SQL Server's providers post them.
std::vector<com_error_record> stub_login_failed(const stub_server& server,
                                                const std::u16string& user);

} // namespace test_support
