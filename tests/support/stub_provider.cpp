// The stub OLE DB provider: data source, session and command objects over a stub_server.
#include "tests/support/stub_provider.h"

#include <utility>

namespace test_support {
namespace {

stub_property record_property(const GUID& set, const DBPROP& prop) {
    stub_property p{set, prop.dwPropertyID, prop.dwOptions, prop.colid.eKind, prop.vValue.vt, {}};
    if (prop.vValue.vt == VT_BSTR && prop.vValue.bstrVal != nullptr) {
        p.text.assign(prop.vValue.bstrVal, SysStringLen(prop.vValue.bstrVal));
    } else if (prop.vValue.vt == VT_I4) {
        p.number = prop.vValue.lVal;
    } else if (prop.vValue.vt == VT_BOOL) {
        p.number = prop.vValue.boolVal;
    }
    return p;
}

std::u16string strip_brackets(std::u16string part) {
    if (part.size() >= 2 && part.front() == u'[' && part.back() == u']') {
        return part.substr(1, part.size() - 2);
    }
    return part;
}

// "[owner].[table]", "owner.table" or "table" as "owner.table" (owner dbo by default).
std::u16string table_key(const std::u16string& name) {
    std::size_t dot = name.find(u"].[");
    if (dot != std::u16string::npos) {
        return strip_brackets(name.substr(0, dot + 1)) + u"." +
               strip_brackets(name.substr(dot + 2));
    }
    if (name.empty() || name.front() != u'[') {
        dot = name.find(u'.');
        if (dot != std::u16string::npos) {
            return name.substr(0, dot) + u"." + name.substr(dot + 1);
        }
    }
    return u"dbo." + strip_brackets(name);
}

class stub_command final : public com_object<ICommandText> {
public:
    explicit stub_command(std::shared_ptr<stub_server> server) : server_(std::move(server)) {}

    HRESULT Cancel() override { return com_succeed(); }

    HRESULT Execute(IUnknown* outer, REFIID riid, DBPARAMS*, DBROWCOUNT* rows_affected,
                    IUnknown** rowset) override {
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        if (rows_affected != nullptr) {
            *rows_affected = -1;
        }
        if (!text_) {
            return com_post_error(DB_E_NOCOMMAND, u"No command text was set.", server_->source);
        }
        if (outer != nullptr) {
            return com_post_error(CLASS_E_NOAGGREGATION, u"No aggregation.", server_->source);
        }
        server_->executed.push_back(*text_);
        server_->executed_with_rowset.push_back(riid != IID_NULL);
        const auto failing = server_->failing_statements.find(*text_);
        if (failing != server_->failing_statements.end()) {
            return com_post_error(failing->second);
        }
        const auto found = server_->statements.find(*text_);
        if (found == server_->statements.end() && server_->accept_unlisted) {
            return com_succeed();
        }
        if (found == server_->statements.end()) {
            com_error_record record;
            record.result = DB_E_ERRORSINCOMMAND;
            record.description = u"Could not find stored procedure '" + *text_ + u"'.";
            record.source = server_->source;
            record.sqlstate = u"42000";
            record.native_error = 2812;
            return com_post_error({record});
        }
        if (riid == IID_NULL || rowset == nullptr || found->second.columns.empty()) {
            return com_succeed();
        }
        const HRESULT hr =
            oledb_make_memory_rowset(found->second.columns, found->second.rows, riid, rowset);
        return FAILED(hr) ? com_post_error(hr, u"No such rowset interface.", server_->source)
                          : com_succeed();
    }

    HRESULT GetDBSession(REFIID, IUnknown** session) override {
        if (session != nullptr) {
            *session = nullptr;
        }
        return com_post_error(E_NOTIMPL, u"Not kept.", server_->source);
    }

    HRESULT GetCommandText(GUID* dialect, LPOLESTR* text) override {
        if (text == nullptr) {
            return com_post_error(E_INVALIDARG, u"No place for the text.", server_->source);
        }
        *text = nullptr;
        if (!text_) {
            return com_post_error(DB_E_NOCOMMAND, u"No command text was set.", server_->source);
        }
        if (dialect != nullptr) {
            *dialect = DBGUID_DBSQL;
        }
        *text = static_cast<LPOLESTR>(CoTaskMemAlloc((text_->size() + 1) * sizeof(OLECHAR)));
        std::copy(text_->begin(), text_->end(), *text);
        (*text)[text_->size()] = 0;
        return com_succeed();
    }

    HRESULT SetCommandText(REFGUID dialect, LPCOLESTR text) override {
        if (dialect != DBGUID_DBSQL) {
            return com_post_error(DB_E_NOTSUPPORTED, u"Only DBGUID_DBSQL is understood.",
                                  server_->source);
        }
        text_.reset();
        if (text != nullptr) {
            text_ = std::u16string(text);
        }
        return com_succeed();
    }

private:
    std::shared_ptr<stub_server> server_;
    std::optional<std::u16string> text_;
};

class stub_session final
    : public com_object<IOpenRowset, IDBCreateCommand, IDBSchemaRowset, ITableDefinition> {
public:
    explicit stub_session(std::shared_ptr<stub_server> server) : server_(std::move(server)) {}

    HRESULT OpenRowset(IUnknown*, DBID* table_id, DBID*, REFIID riid, ULONG property_sets,
                       DBPROPSET sets[], IUnknown** rowset) override {
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        if (table_id == nullptr || table_id->eKind != DBKIND_NAME ||
            table_id->uName.pwszName == nullptr) {
            return com_post_error(E_INVALIDARG, u"The table is not named.", server_->source);
        }
        const std::u16string name = table_id->uName.pwszName;
        server_->opened_tables.push_back(name);
        std::vector<stub_property> props;
        for (ULONG s = 0; s < property_sets; ++s) {
            for (ULONG p = 0; p < sets[s].cProperties; ++p) {
                props.push_back(record_property(sets[s].guidPropertySet, sets[s].rgProperties[p]));
            }
        }
        server_->opened_table_properties.push_back(props);
        const auto found = server_->tables.find(table_key(name));
        if (found == server_->tables.end()) {
            com_error_record record;
            record.result = DB_E_NOTABLE;
            record.description = u"Invalid object name '" + name + u"'.";
            record.source = server_->source;
            record.sqlstate = u"42S02";
            record.native_error = 208;
            return com_post_error({record});
        }
        if (rowset == nullptr) {
            return com_succeed();
        }
        const HRESULT hr =
            oledb_make_memory_rowset(found->second.columns, found->second.rows, riid, rowset);
        return FAILED(hr) ? com_post_error(hr, u"No such rowset interface.", server_->source)
                          : com_succeed();
    }

    HRESULT CreateTable(IUnknown*, DBID* table_id, DBORDINAL count, const DBCOLUMNDESC descs[],
                        REFIID, ULONG, DBPROPSET[], DBID** new_table_id,
                        IUnknown** rowset) override {
        if (new_table_id != nullptr) {
            *new_table_id = nullptr;
        }
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        if (table_id == nullptr || table_id->eKind != DBKIND_NAME ||
            table_id->uName.pwszName == nullptr) {
            return com_post_error(E_INVALIDARG, u"The table is not named.", server_->source);
        }
        if (!server_->refuse_create_table.empty()) {
            return com_post_error(server_->refuse_create_table);
        }
        stub_created_table table{table_id->uName.pwszName, {}};
        for (DBORDINAL i = 0; i < count; ++i) {
            const DBCOLUMNDESC& d = descs[i];
            stub_column_desc column;
            if (d.dbcid.eKind == DBKIND_NAME && d.dbcid.uName.pwszName != nullptr) {
                column.name = d.dbcid.uName.pwszName;
            }
            column.type = d.wType;
            column.size = d.ulColumnSize;
            column.precision = d.bPrecision;
            column.scale = d.bScale;
            if (d.pwszTypeName != nullptr) {
                column.type_name = d.pwszTypeName;
            }
            for (ULONG s = 0; s < d.cPropertySets; ++s) {
                for (ULONG p = 0; p < d.rgPropertySets[s].cProperties; ++p) {
                    column.properties.push_back(record_property(
                        d.rgPropertySets[s].guidPropertySet, d.rgPropertySets[s].rgProperties[p]));
                }
            }
            table.columns.push_back(std::move(column));
        }
        server_->created_tables.push_back(std::move(table));
        return com_succeed();
    }

    HRESULT DropTable(DBID*) override { return E_NOTIMPL; }
    HRESULT AddColumn(DBID*, DBCOLUMNDESC*, DBID**) override { return E_NOTIMPL; }
    HRESULT DropColumn(DBID*, DBID*) override { return E_NOTIMPL; }

    HRESULT CreateCommand(IUnknown* outer, REFIID riid, IUnknown** command) override {
        if (command == nullptr) {
            return com_post_error(E_INVALIDARG, u"No place for the command.", server_->source);
        }
        *command = nullptr;
        if (outer != nullptr) {
            return com_post_error(CLASS_E_NOAGGREGATION, u"No aggregation.", server_->source);
        }
        auto* created = new stub_command(server_);
        const HRESULT hr = created->QueryInterface(riid, reinterpret_cast<void**>(command));
        created->Release();
        return FAILED(hr) ? com_post_error(hr, u"No such command interface.", server_->source)
                          : com_succeed();
    }

    HRESULT GetRowset(IUnknown*, REFGUID schema, ULONG restrictions,
                      const VARIANT restriction_values[], REFIID riid, ULONG, DBPROPSET[],
                      IUnknown** rowset) override {
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        server_->schema_requests.push_back(schema);
        const std::vector<oledb_column>* columns = oledb_schema_columns(schema);
        if (columns == nullptr) {
            return com_post_error(DB_E_NOTSUPPORTED, u"The schema rowset is not supported.",
                                  server_->source);
        }
        std::vector<oledb_row> rows = server_->schema_rows[schema];
        const HRESULT filtered =
            oledb_filter_schema_rows(schema, restrictions, restriction_values, rows);
        if (FAILED(filtered)) {
            return com_post_error(filtered, u"A restriction is not valid.", server_->source);
        }
        const HRESULT hr = oledb_make_memory_rowset(*columns, std::move(rows), riid, rowset);
        return FAILED(hr) ? com_post_error(hr, u"No such rowset interface.", server_->source)
                          : com_succeed();
    }

private:
    std::shared_ptr<stub_server> server_;
};

class stub_data_source final : public com_object<IDBInitialize, IDBProperties, IDBCreateSession> {
public:
    explicit stub_data_source(std::shared_ptr<stub_server> server) : server_(std::move(server)) {}

    HRESULT Initialize() override {
        if (initialized_) {
            return com_post_error(DB_E_ALREADYINITIALIZED, u"Already initialised.",
                                  server_->source);
        }
        const auto value = [&](DBPROPID id) {
            const auto found = init_.find(id);
            return found == init_.end() ? std::optional<std::u16string>() : found->second;
        };
        const std::optional<std::u16string> user = value(DBPROP_AUTH_USERID);
        const std::optional<std::u16string> password = value(DBPROP_AUTH_PASSWORD);
        const std::optional<std::u16string> integrated = value(DBPROP_AUTH_INTEGRATED);
        const std::optional<std::u16string> catalog = value(DBPROP_INIT_CATALOG);
        if (user) {
            if (*user != server_->user || password.value_or(u"") != server_->password) {
                return com_post_error(stub_login_failed(*server_, *user));
            }
        } else if (!(integrated && *integrated == u"SSPI" && server_->integrated_allowed)) {
            return com_post_error(stub_login_failed(*server_, u""));
        }
        if (catalog && !server_->databases.empty() && !server_->databases.count(*catalog)) {
            com_error_record record;
            record.result = E_FAIL;
            record.description = u"Cannot open database \"" + *catalog +
                                 u"\" requested by the login. The login failed.";
            record.source = server_->source;
            record.sqlstate = u"42000";
            record.native_error = 4060;
            return com_post_error({record});
        }
        initialized_ = true;
        ++server_->initializations;
        return com_succeed();
    }

    HRESULT Uninitialize() override {
        if (initialized_) {
            ++server_->uninitializations;
        }
        initialized_ = false;
        return com_succeed();
    }

    HRESULT SetProperties(ULONG property_sets, DBPROPSET sets[]) override {
        if (property_sets > 0 && sets == nullptr) {
            return com_post_error(E_INVALIDARG, u"No property sets.", server_->source);
        }
        std::size_t total = 0;
        std::size_t refused = 0;
        for (ULONG s = 0; s < property_sets; ++s) {
            const DBPROPSET& set = sets[s];
            for (ULONG p = 0; p < set.cProperties; ++p) {
                DBPROP& prop = set.rgProperties[p];
                ++total;
                server_->properties.push_back(record_property(set.guidPropertySet, prop));
                prop.dwStatus = DBPROPSTATUS_OK;
                if (set.guidPropertySet == DBPROPSET_DBINIT) {
                    if (initialized_) {
                        prop.dwStatus = DBPROPSTATUS_NOTSETTABLE;
                    } else if (prop.vValue.vt == VT_BSTR) {
                        init_[prop.dwPropertyID] = std::u16string(
                            prop.vValue.bstrVal ? prop.vValue.bstrVal : u"",
                            prop.vValue.bstrVal ? SysStringLen(prop.vValue.bstrVal) : 0);
                    }
                } else if (set.guidPropertySet == DBPROPSET_SQLSERVERDATASOURCE &&
                           prop.dwPropertyID == SSPROP_ENABLEFASTLOAD) {
                    if (server_->refuse_fast_load) {
                        prop.dwStatus = DBPROPSTATUS_NOTSUPPORTED;
                    }
                } else {
                    prop.dwStatus = DBPROPSTATUS_NOTSUPPORTED;
                }
                refused += prop.dwStatus != DBPROPSTATUS_OK;
            }
        }
        if (refused == 0) {
            return com_succeed();
        }
        return refused == total ? com_post_error(DB_E_ERRORSOCCURRED, u"A property was refused.",
                                                 server_->source)
                                : com_post_error(DB_S_ERRORSOCCURRED, u"A property was refused.",
                                                 server_->source);
    }

    HRESULT CreateSession(IUnknown* outer, REFIID riid, IUnknown** session) override {
        if (session == nullptr) {
            return com_post_error(E_INVALIDARG, u"No place for the session.", server_->source);
        }
        *session = nullptr;
        if (!initialized_) {
            return com_post_error(E_UNEXPECTED, u"The data source is not initialised.",
                                  server_->source);
        }
        if (outer != nullptr) {
            return com_post_error(CLASS_E_NOAGGREGATION, u"No aggregation.", server_->source);
        }
        auto* created = new stub_session(server_);
        const HRESULT hr = created->QueryInterface(riid, reinterpret_cast<void**>(session));
        created->Release();
        return FAILED(hr) ? com_post_error(hr, u"No such session interface.", server_->source)
                          : com_succeed();
    }

private:
    std::shared_ptr<stub_server> server_;
    std::map<DBPROPID, std::u16string> init_;
    bool initialized_ = false;
};

} // namespace

std::optional<std::u16string> stub_server::init_property(DBPROPID id) const {
    std::optional<std::u16string> found;
    for (const stub_property& p : properties) {
        if (p.set == DBPROPSET_DBINIT && p.id == id) {
            found = p.text;
        }
    }
    return found;
}

std::vector<com_error_record> stub_login_failed(const stub_server& server,
                                                const std::u16string& user) {
    com_error_record record;
    record.result = DB_SEC_E_AUTH_FAILED;
    record.description = u"Login failed for user '" + user + u"'.";
    record.source = server.source;
    record.sqlstate = u"28000";
    record.native_error = 18456;
    return {record};
}

stub_provider_scope::stub_provider_scope(const CLSID& clsid, std::shared_ptr<stub_server> server,
                                         std::u16string progid)
    : class_(clsid, com_simple_factory<stub_data_source>(server)), progid_(std::move(progid)) {
    if (!progid_.empty()) {
        com_register_progid(progid_, clsid);
    }
}

stub_provider_scope::~stub_provider_scope() {
    if (!progid_.empty()) {
        com_unregister_progid(progid_);
    }
}

} // namespace test_support
