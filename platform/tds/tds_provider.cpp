// The SQL Server provider's data source, sessions and commands, and its registration.
#include "platform/tds/tds_provider.h"

#include "platform/tds/tds_fastload.h"
#include "platform/tds/tds_link.h"
#include "platform/tds/tds_names.h"
#include "platform/tds/tds_rowset.h"
#include "platform/tds/tds_schema.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace {

// SQL Server's providers wait 15 seconds for a login unless told otherwise.
constexpr int default_login_timeout = 15;

bool login_refused(const std::vector<odbc::diagnostic>& diagnostics) {
    for (const odbc::diagnostic& d : diagnostics) {
        if (d.sqlstate == u"28000" || d.native == 18456) {
            return true;
        }
    }
    return false;
}

// A login refused for its database: SQL Server says "Cannot open database" (4060, or 4064 for the
// login's default database) and then its general "Login failed" (18456), which the driver ranks
// first. The database's record is put first, so the missing database is what the user reads,
// never a wrong password; empty when the login was not refused for its database.
std::vector<odbc::diagnostic> database_refused(const std::vector<odbc::diagnostic>& diagnostics) {
    const auto cause = std::find_if(diagnostics.begin(), diagnostics.end(), [](const auto& d) {
        return d.native == 4060 || d.native == 4064;
    });
    if (cause == diagnostics.end()) {
        return {};
    }
    std::vector<odbc::diagnostic> ordered{*cause};
    for (auto it = diagnostics.begin(); it != diagnostics.end(); ++it) {
        if (it != cause) {
            ordered.push_back(*it);
        }
    }
    return ordered;
}

bool no_table(const std::vector<odbc::diagnostic>& diagnostics) {
    for (const odbc::diagnostic& d : diagnostics) {
        if (d.native == 208 || d.sqlstate == u"42S02") {
            return true;
        }
    }
    return false;
}

std::u16string bstr_text(const VARIANT& v) {
    return v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : std::u16string();
}

// Posts a failed execution: a connection that could not be had, or the statement's errors.
HRESULT post_execution(const tds_link& link, const IID& iid, const tds_execution& run,
                       HRESULT statement_result) {
    if (run.connect_failed) {
        return tds_post(E_FAIL, link.clsid(), iid, run.diagnostics,
                        u"No connection to the server could be opened.",
                        u"No further connection to the server could be opened for the statement.");
    }
    return tds_post(statement_result, link.clsid(), iid, run.diagnostics, u"The statement failed.");
}

class tds_session;

class tds_command final : public com_object<ICommandText> {
public:
    tds_command(std::shared_ptr<tds_link> link, IUnknown* session)
        : link_(std::move(link)), session_(session) {
        session_->AddRef();
    }

    HRESULT Cancel() override { return com_succeed(); }

    HRESULT Execute(IUnknown* outer, REFIID riid, DBPARAMS*, DBROWCOUNT* rows_affected,
                    IUnknown** rowset) override {
        std::u16string text;
        {
            std::lock_guard guard(lock_);
            if (!text_) {
                return fail(DB_E_NOCOMMAND, u"No command text was set.");
            }
            text = *text_;
        }
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        if (rows_affected != nullptr) {
            *rows_affected = -1;
        }
        if (outer != nullptr) {
            return fail(CLASS_E_NOAGGREGATION, u"Rowsets cannot be aggregated.");
        }
        const bool want_rows = riid != IID_NULL;
        if (want_rows && rowset == nullptr) {
            return fail(E_INVALIDARG, u"No place for the rowset was given.");
        }
        tds_execution run;
        if (!tds_execute(*link_, text, want_rows, run)) {
            return post_execution(*link_, IID_ICommand, run, DB_E_ERRORSINCOMMAND);
        }
        if (rows_affected != nullptr) {
            *rows_affected = run.rows_affected;
        }
        if (!want_rows || !run.statement) {
            return com_succeed(); // no rowset: the pointer stays null
        }
        auto* made = new tds_rowset(link_, std::move(run), std::move(text));
        const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(rowset));
        made->Release();
        if (FAILED(hr)) {
            return fail(hr, u"The rowset does not offer the requested interface.");
        }
        return com_succeed();
    }

    HRESULT GetDBSession(REFIID riid, IUnknown** session) override {
        if (session == nullptr) {
            return fail(E_INVALIDARG, u"No place for the session was given.");
        }
        return session_->QueryInterface(riid, reinterpret_cast<void**>(session));
    }

    HRESULT GetCommandText(GUID* dialect, LPOLESTR* text) override {
        std::lock_guard guard(lock_);
        if (text == nullptr) {
            return fail(E_INVALIDARG, u"No place for the text was given.");
        }
        *text = nullptr;
        if (!text_) {
            return fail(DB_E_NOCOMMAND, u"No command text was set.");
        }
        auto* copy = static_cast<OLECHAR*>(CoTaskMemAlloc((text_->size() + 1) * sizeof(OLECHAR)));
        if (copy == nullptr) {
            return fail(E_OUTOFMEMORY, u"Out of memory.");
        }
        std::copy(text_->begin(), text_->end(), copy);
        copy[text_->size()] = 0;
        *text = copy;
        if (dialect != nullptr) {
            *dialect = DBGUID_DBSQL;
        }
        return com_succeed();
    }

    HRESULT SetCommandText(REFGUID dialect, LPCOLESTR text) override {
        std::lock_guard guard(lock_);
        if (text == nullptr) {
            text_.reset();
            return com_succeed();
        }
        if (dialect != DBGUID_DBSQL && dialect != GUID_NULL) {
            return fail(DB_E_ERRORSINCOMMAND, u"Only SQL command text is understood.");
        }
        text_ = std::u16string(text);
        return com_succeed();
    }

private:
    ~tds_command() override { session_->Release(); }

    HRESULT fail(HRESULT result, const std::u16string& text) {
        return tds_post(result, link_->clsid(), IID_ICommand, {}, text);
    }

    std::shared_ptr<tds_link> link_;
    IUnknown* session_;
    std::mutex lock_;
    std::optional<std::u16string> text_;
};

class tds_session final : public com_object<IOpenRowset, IDBCreateCommand, IDBSchemaRowset> {
public:
    explicit tds_session(std::shared_ptr<tds_link> link) : link_(std::move(link)) {}

    HRESULT OpenRowset(IUnknown* outer, DBID* table_id, DBID* index_id, REFIID riid,
                       ULONG property_sets, DBPROPSET sets[], IUnknown** rowset) override {
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        if (outer != nullptr) {
            return fail(CLASS_E_NOAGGREGATION, IID_IOpenRowset, u"Rowsets cannot be aggregated.");
        }
        if (table_id == nullptr && index_id == nullptr) {
            return fail(E_INVALIDARG, IID_IOpenRowset, u"No table was named.");
        }
        if (index_id != nullptr) {
            return fail(DB_E_NOTSUPPORTED, IID_IOpenRowset, u"Index rowsets are not supported.");
        }
        std::u16string quoted;
        if (table_id->eKind != DBKIND_NAME || table_id->uName.pwszName == nullptr ||
            !tds_quote_table_name(table_id->uName.pwszName, quoted)) {
            return fail(DB_E_NOTABLE, IID_IOpenRowset, u"The table name is not valid.");
        }
        // The rowsets here are read-only: a required request for changes cannot be met. A
        // bulk-copy rowset is asked for by its interface or its property.
        bool refused = false;
        bool fast_load = riid == IID_IRowsetFastLoad;
        bool keep_identity = false;
        for (ULONG s = 0; s < property_sets && sets != nullptr; ++s) {
            for (ULONG p = 0; p < sets[s].cProperties; ++p) {
                DBPROP& prop = sets[s].rgProperties[p];
                if (sets[s].guidPropertySet == DBPROPSET_SQLSERVERROWSET) {
                    const bool on = prop.vValue.vt == VT_BOOL && prop.vValue.boolVal != 0;
                    if (prop.dwPropertyID == SSPROP_IRowsetFastLoad) {
                        fast_load = fast_load || on;
                        prop.dwStatus = DBPROPSTATUS_OK;
                        continue;
                    }
                    if (prop.dwPropertyID == SSPROP_FASTLOADKEEPIDENTITY) {
                        keep_identity = on;
                        prop.dwStatus = DBPROPSTATUS_OK;
                        continue;
                    }
                }
                const bool wants_change =
                    sets[s].guidPropertySet == DBPROPSET_ROWSET &&
                    ((prop.dwPropertyID == DBPROP_IRowsetChange && prop.vValue.vt == VT_BOOL &&
                      prop.vValue.boolVal != 0) ||
                     (prop.dwPropertyID == DBPROP_UPDATABILITY && prop.vValue.vt == VT_I4 &&
                      prop.vValue.lVal != 0));
                prop.dwStatus = wants_change ? DBPROPSTATUS_NOTSUPPORTED : DBPROPSTATUS_OK;
                refused = refused || (wants_change && prop.dwOptions == DBPROPOPTIONS_REQUIRED);
            }
        }
        if (refused) {
            return fail(DB_E_ERRORSOCCURRED, IID_IOpenRowset,
                        u"The provider opens tables for reading only.");
        }
        if (rowset == nullptr) {
            return com_succeed(); // only asked whether the table can be opened
        }
        if (fast_load) {
            if (!link_->fast_load()) {
                return fail(
                    E_NOINTERFACE, IID_IOpenRowset,
                    u"Bulk copy is not enabled on the data source (SSPROP_ENABLEFASTLOAD).");
            }
            return tds_open_fast_load(link_, quoted, keep_identity, riid, rowset);
        }
        const std::u16string sql = u"SELECT * FROM " + quoted;
        tds_execution run;
        if (!tds_execute(*link_, sql, true, run)) {
            if (!run.connect_failed && no_table(run.diagnostics)) {
                return tds_post(DB_E_NOTABLE, link_->clsid(), IID_IOpenRowset, run.diagnostics,
                                u"The table does not exist.");
            }
            return post_execution(*link_, IID_IOpenRowset, run, E_FAIL);
        }
        if (!run.statement) {
            return fail(E_FAIL, IID_IOpenRowset, u"The table returned no rowset.");
        }
        auto* made = new tds_rowset(link_, std::move(run), sql);
        const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(rowset));
        made->Release();
        if (FAILED(hr)) {
            return fail(hr, IID_IOpenRowset, u"The rowset does not offer the requested interface.");
        }
        return com_succeed();
    }

    HRESULT CreateCommand(IUnknown* outer, REFIID riid, IUnknown** command) override {
        if (command == nullptr) {
            return fail(E_INVALIDARG, IID_IDBCreateCommand, u"No place for the command was given.");
        }
        *command = nullptr;
        if (outer != nullptr) {
            return fail(CLASS_E_NOAGGREGATION, IID_IDBCreateCommand,
                        u"Commands cannot be aggregated.");
        }
        auto* made = new tds_command(link_, unknown());
        const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(command));
        made->Release();
        return FAILED(hr) ? fail(hr, IID_IDBCreateCommand,
                                 u"The command does not offer the requested interface.")
                          : com_succeed();
    }

    HRESULT GetRowset(IUnknown* outer, REFGUID schema, ULONG restrictions,
                      const VARIANT restriction_values[], REFIID riid, ULONG, DBPROPSET[],
                      IUnknown** rowset) override {
        if (outer != nullptr) {
            if (rowset != nullptr) {
                *rowset = nullptr;
            }
            return fail(CLASS_E_NOAGGREGATION, IID_IDBSchemaRowset,
                        u"Rowsets cannot be aggregated.");
        }
        return tds_schema_rowset(*link_, schema, restrictions, restriction_values, riid, rowset);
    }

private:
    HRESULT fail(HRESULT result, const IID& iid, const std::u16string& text) {
        return tds_post(result, link_->clsid(), iid, {}, text);
    }

    std::shared_ptr<tds_link> link_;
};

class tds_data_source final : public com_object<IDBInitialize, IDBProperties, IDBCreateSession> {
public:
    explicit tds_data_source(CLSID clsid) : clsid_(clsid) {}

    HRESULT Initialize() override {
        std::lock_guard guard(lock_);
        if (link_) {
            return fail(DB_E_ALREADYINITIALIZED, u"The data source is initialised already.");
        }
        tds_login login;
        std::u16string error;
        // As with the Windows providers, no server named means the local default instance.
        const std::u16string server = server_.empty() ? std::u16string(u"(local)") : server_;
        if (!tds_parse_server(server, login.server, error)) {
            return fail(E_FAIL, u"The server \"" + server + u"\" is not valid: " + error);
        }
        login.integrated = integrated_.has_value() && !integrated_->empty();
        if (!login.integrated && user_.empty()) {
            return fail(DB_SEC_E_AUTH_FAILED, u"No login name was given.");
        }
        login.user = user_;
        login.password = password_;
        login.database = catalog_;
        std::u16string connection_string;
        if (!tds_connection_string(login, connection_string, error)) {
            return fail(E_FAIL, error);
        }
        auto link = std::make_shared<tds_link>(clsid_, std::move(connection_string),
                                               timeout_ > 0 ? timeout_ : default_login_timeout);
        std::vector<odbc::diagnostic> diagnostics;
        std::unique_ptr<odbc::connection> first = link->acquire(diagnostics);
        if (!first) {
            if (const auto database = database_refused(diagnostics); !database.empty()) {
                return tds_post(E_FAIL, clsid_, IID_IDBInitialize, database, u"Login failed.");
            }
            if (login_refused(diagnostics)) {
                return tds_post(DB_SEC_E_AUTH_FAILED, clsid_, IID_IDBInitialize, diagnostics,
                                u"Login failed.");
            }
            std::u16string lead = u"Cannot connect to the server \"" + server + u"\".";
            if (login.integrated) {
                lead += u" Integrated security on Linux logs in with Kerberos through FreeTDS: it "
                        u"needs a ticket (kinit) and the server's service principal name; give a "
                        u"SQL Server login otherwise.";
            }
            return tds_post(E_FAIL, clsid_, IID_IDBInitialize, diagnostics,
                            u"The connection failed.", lead);
        }
        link->release(std::move(first));
        link->set_fast_load(fast_load_);
        link_ = std::move(link);
        return com_succeed();
    }

    HRESULT Uninitialize() override {
        std::lock_guard guard(lock_);
        link_.reset(); // sessions keep the connections they use
        return com_succeed();
    }

    HRESULT SetProperties(ULONG property_sets, DBPROPSET sets[]) override {
        std::lock_guard guard(lock_);
        if (property_sets > 0 && sets == nullptr) {
            return fail(E_INVALIDARG, u"No property sets were given.");
        }
        std::size_t total = 0;
        std::size_t refused = 0;
        for (ULONG s = 0; s < property_sets; ++s) {
            DBPROPSET& set = sets[s];
            if (set.cProperties > 0 && set.rgProperties == nullptr) {
                return fail(E_INVALIDARG, u"A property set has no properties.");
            }
            for (ULONG p = 0; p < set.cProperties; ++p) {
                DBPROP& prop = set.rgProperties[p];
                ++total;
                prop.dwStatus = set_property(set.guidPropertySet, prop);
                if (prop.dwStatus != DBPROPSTATUS_OK) {
                    ++refused;
                }
            }
        }
        if (refused == 0) {
            return com_succeed();
        }
        const HRESULT hr = refused == total ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
        return fail(hr, u"Some properties are not supported by this provider or cannot be set "
                        u"now.");
    }

    HRESULT CreateSession(IUnknown* outer, REFIID riid, IUnknown** session) override {
        std::shared_ptr<tds_link> link;
        {
            std::lock_guard guard(lock_);
            link = link_;
        }
        if (session == nullptr) {
            return fail(E_INVALIDARG, u"No place for the session was given.");
        }
        *session = nullptr;
        if (!link) {
            return fail(E_UNEXPECTED, u"The data source is not initialised.");
        }
        if (outer != nullptr) {
            return fail(CLASS_E_NOAGGREGATION, u"Sessions cannot be aggregated.");
        }
        auto* made = new tds_session(std::move(link));
        const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(session));
        made->Release();
        return FAILED(hr) ? fail(hr, u"The session does not offer the requested interface.")
                          : com_succeed();
    }

private:
    HRESULT fail(HRESULT result, const std::u16string& text) {
        return tds_post(result, clsid_, IID_IDBInitialize, {}, text);
    }

    DBPROPSTATUS set_property(const GUID& set, const DBPROP& prop) {
        if (set == DBPROPSET_SQLSERVERDATASOURCE && prop.dwPropertyID == SSPROP_ENABLEFASTLOAD) {
            // Bulk-copy rowsets: FreeTDS's bulk copy, on connections of their own.
            if (prop.vValue.vt != VT_BOOL) {
                return DBPROPSTATUS_BADVALUE;
            }
            fast_load_ = prop.vValue.boolVal != 0;
            if (link_) {
                link_->set_fast_load(fast_load_);
            }
            return DBPROPSTATUS_OK;
        }
        if (set != DBPROPSET_DBINIT) {
            return DBPROPSTATUS_NOTSUPPORTED;
        }
        if (link_) {
            return DBPROPSTATUS_NOTSETTABLE;
        }
        const VARIANT& v = prop.vValue;
        const bool text = v.vt == VT_BSTR || v.vt == VT_EMPTY;
        switch (prop.dwPropertyID) {
        case DBPROP_INIT_DATASOURCE:
            return text ? (server_ = bstr_text(v), DBPROPSTATUS_OK) : DBPROPSTATUS_BADVALUE;
        case DBPROP_AUTH_USERID:
            return text ? (user_ = bstr_text(v), DBPROPSTATUS_OK) : DBPROPSTATUS_BADVALUE;
        case DBPROP_AUTH_PASSWORD:
            return text ? (password_ = bstr_text(v), DBPROPSTATUS_OK) : DBPROPSTATUS_BADVALUE;
        case DBPROP_INIT_CATALOG:
            return text ? (catalog_ = bstr_text(v), DBPROPSTATUS_OK) : DBPROPSTATUS_BADVALUE;
        case DBPROP_AUTH_INTEGRATED:
            if (!text) {
                return DBPROPSTATUS_BADVALUE;
            }
            if (v.vt == VT_EMPTY) {
                integrated_.reset();
            } else {
                integrated_ = bstr_text(v);
            }
            return DBPROPSTATUS_OK;
        case DBPROP_INIT_TIMEOUT:
            if (v.vt == VT_I4 && v.lVal >= 0) {
                timeout_ = v.lVal;
                return DBPROPSTATUS_OK;
            }
            if (v.vt == VT_I2 && v.iVal >= 0) {
                timeout_ = v.iVal;
                return DBPROPSTATUS_OK;
            }
            return DBPROPSTATUS_BADVALUE;
        case DBPROP_INIT_PROVIDERSTRING:
            // Accepted for compatibility; its keywords ask nothing of FreeTDS here.
            return text ? DBPROPSTATUS_OK : DBPROPSTATUS_BADVALUE;
        default:
            return DBPROPSTATUS_NOTSUPPORTED;
        }
    }

    CLSID clsid_;
    std::mutex lock_;
    std::u16string server_;
    std::u16string user_;
    std::u16string password_;
    std::u16string catalog_;
    std::optional<std::u16string> integrated_;
    int timeout_ = 0;
    bool fast_load_ = false;
    std::shared_ptr<tds_link> link_;
};

} // namespace

HRESULT tds_create_data_source(const CLSID& clsid, IUnknown* outer, REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto* made = new tds_data_source(clsid);
    const HRESULT hr = made->QueryInterface(riid, object);
    made->Release();
    return hr;
}

bool tds_register_provider() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const CLSID* clsid : {&CLSID_SQLNCLI11, &CLSID_SQLNCLI10, &CLSID_SQLOLEDB}) {
            const CLSID id = *clsid;
            com_register_class(id, [id](IUnknown* outer, REFIID riid, void** object) {
                return tds_create_data_source(id, outer, riid, object);
            });
        }
        com_register_progid(u"SQLOLEDB", CLSID_SQLOLEDB);
        com_register_progid(u"SQLNCLI11", CLSID_SQLNCLI11);
        com_register_progid(u"SQLNCLI10", CLSID_SQLNCLI10);
    });
    return true;
}
