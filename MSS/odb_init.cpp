// OLE DB provider initialisation.
#include "MSS/odb_init.h"

#include "MSS/odb_exce.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/oledb/oledb_services.h"

#include <vector>

namespace {

// A required VT_BSTR initialisation property; the array frees its values.
struct init_properties {
    std::vector<DBPROP> props;

    void add(DBPROPID id, const std::wstring& value) {
        DBPROP prop{};
        prop.dwPropertyID = id;
        prop.dwOptions = DBPROPOPTIONS_REQUIRED;
        prop.colid = DB_NULLID;
        VariantInit(&prop.vValue);
        const std::u16string text = tk_to_utf16(value);
        prop.vValue.vt = VT_BSTR;
        prop.vValue.bstrVal =
            SysAllocStringLen(text.data(), static_cast<unsigned int>(text.size()));
        props.push_back(prop);
    }

    ~init_properties() {
        for (DBPROP& prop : props) {
            VariantClear(&prop.vValue);
        }
    }
};

std::wstring quoted(const std::wstring& value) {
    return tk_utf16_to_wstring(oledb_quote_value(tk_to_utf16(value)));
}

} // namespace

odb_initializer::odb_initializer() {
    tk_log_message(1, "odb_initializer::ctor");
}

void odb_initializer::test_connection(ole_com_ptr<IDBInitialize>& holder,
                                      const std::wstring& server, const std::wstring& user,
                                      const std::wstring& password, const std::wstring& database) {
    tk_log_wmessage(1, L"odb_initializer::test_connection(%ls,%ls,***,%ls)", server.c_str(),
                    user.c_str(), database.c_str());
    if (test_native_connection(holder, CLSID_SQLNCLI11, server, user, password, database)) {
        tk_log_message(2, "CLSID_SQLNCLI11 succeeded");
        native_ = true;
        return;
    }
    if (test_native_connection(holder, CLSID_SQLNCLI10, server, user, password, database)) {
        tk_log_message(2, "CLSID_SQLNCLI10 succeeded");
        native_ = true;
        return;
    }
    if (!test_generic_connection(holder, connection_string(server, user, password, database))) {
        throw tk_exception(std::string("Failed to load OLE DB support library. You should "
                                       "install it\r\nto proceed with the application.\r\n"),
                           1);
    }
    native_ = false;
}

bool odb_initializer::test_native_connection(ole_com_ptr<IDBInitialize>& holder,
                                             const CLSID& provider, const std::wstring& server,
                                             const std::wstring& user, const std::wstring& password,
                                             const std::wstring& database) {
    tk_log_message(1, "odb_initializer::test_native_connection");
    if (FAILED(CoCreateInstance(provider, nullptr, CLSCTX_INPROC_SERVER, IID_IDBInitialize,
                                holder.out_void()))) {
        tk_log_message(1, "CoCreateInstance failed");
        return false;
    }
    tk_log_message(1, "SQLNCLI1X initialization SUCCEEDED!");

    init_properties list;
    list.add(DBPROP_INIT_DATASOURCE, server);
    if (!user.empty()) {
        list.add(DBPROP_AUTH_USERID, user);
        list.add(DBPROP_AUTH_PASSWORD, password);
    } else {
        list.add(DBPROP_AUTH_INTEGRATED, L"SSPI");
    }
    if (!database.empty()) {
        list.add(DBPROP_INIT_CATALOG, database);
    }
    DBPROPSET set{list.props.data(), static_cast<ULONG>(list.props.size()), DBPROPSET_DBINIT};

    {
        ole_com_ptr<IDBProperties> properties;
        odb_check(holder->QueryInterface(IID_IDBProperties, properties.out_void()));
        tk_log_message(1, "Right before pIDBProperties->SetProperties");
        odb_check(properties->SetProperties(1, &set));
    }
    tk_log_message(1, "Right before db_initialize->Initialize");
    odb_check(holder->Initialize());
    tk_log_message(1, "odb_initializer::test_native_connection - END");
    return true;
}

bool odb_initializer::test_generic_connection(ole_com_ptr<IDBInitialize>& holder,
                                              const std::wstring& connection_string) {
    // The connection string holds the password: it stays out of the trace log.
    tk_log_message(1, "odb_initializer::test_generic_connection");
    ole_com_ptr<IDataInitialize> services;
    const HRESULT hr = CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IDataInitialize, services.out_void());
    if (FAILED(hr)) {
        tk_log_message(2, "Failed to initialize CLSID_MSDAINITIALIZE: %08X",
                       static_cast<unsigned>(hr));
        return false;
    }
    const std::u16string text = tk_to_utf16(connection_string);
    ole_com_ptr<IUnknown> source;
    odb_check(services->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, text.c_str(), IID_IUnknown,
                                      &source));
    odb_check(source->QueryInterface(IID_IDBInitialize, holder.out_void()));
    odb_check(holder->Initialize());
    return true;
}

std::wstring odb_initializer::connection_string(const std::wstring& server,
                                                const std::wstring& user,
                                                const std::wstring& password,
                                                const std::wstring& database) {
    std::wstring text = L"Provider=sqloledb;Data Source=" + quoted(server);
    if (!database.empty()) {
        text += L";Initial Catalog=" + quoted(database);
    }
    if (!user.empty()) {
        text += L";User Id=" + quoted(user) + L";Password=" + quoted(password) + L";";
    } else {
        text += L";Integrated Security=SSPI;";
    }
    return text;
}
