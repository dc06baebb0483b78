// The MS SQL engine.
#include "MSS/mss_engi.h"

#include "MSS/mss_db.h"
#include "MSS/mss_tnam.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"

#include <cwctype>

namespace {

// The rowset of `sql` run on a new session of `data_source`, as a recordset.
std::unique_ptr<odb_recordset> run_query(IDBInitialize* data_source, const std::wstring& sql) {
    odb_command command(static_cast<IUnknown*>(data_source));
    ole_com_ptr<IRowset> rowset;
    command.execute(sql, &rowset);
    return std::make_unique<odb_recordset>(rowset.get());
}

// Year-numbered versions and their codes, newest first.
struct version_prefix {
    const wchar_t* prefix;
    int code;
};
constexpr version_prefix version_prefixes[] = {
    {L"2022", 18}, {L"2021", 17}, {L"2020", 16}, {L"2019", 15}, {L"2018", 14}, {L"2017", 13},
    {L"2016", 12}, {L"2015", 11}, {L"2014", 10}, {L"2013", 9},  {L"2012", 8},  {L"2011", 7},
    {L"2010", 6},  {L"2008", 5},  {L"2005", 4},  {L"200", 3},   {L"7.", 2},
};
constexpr int newest_version_code = 18;
constexpr int newest_version_year = 2022;

} // namespace

mss_dump_options::mss_dump_options() {
    tk_log_message(2, "mss_dump_options::ctor1");
}

mss_engine::mss_engine(int no_com_init) : no_com_init_(no_com_init) {
    if (no_com_init == 0) {
        CoInitialize(nullptr);
    }
    // The conversion library is optional: nothing here depends on it.
    if (FAILED(CoCreateInstance(CLSID_OLEDB_CONVERSIONLIBRARY, nullptr, 23, IID_IDataConvert,
                                reinterpret_cast<void**>(&data_converter_)))) {
        data_converter_ = nullptr;
    }
}

mss_engine::~mss_engine() {
    data_source_.reset();
    databases_.clear();
    server_.clear();
    user_.clear();
    password_.clear();
    if (data_converter_ != nullptr) {
        data_converter_->Release();
        data_converter_ = nullptr;
    }
}

void mss_engine::connect(const std::wstring& server, const std::wstring& user,
                         const std::wstring& password, const std::wstring& database,
                         bool fast_load) {
    // Passwords stay out of the trace log.
    tk_log_wmessage(2, L"mss_engine::connect( %ls, %ls, ***, %ls, %d )", server.c_str(),
                    user.c_str(), database.c_str(), fast_load);
    tk_log_message(3, "Connecting to MS SQL server(3)...");
    connect_steps(server, user, password, database, fast_load, false);
}

void mss_engine::connect(const std::wstring& server, const std::wstring& user,
                         const std::wstring& password, bool fast_load) {
    tk_log_wmessage(2, L"mss_engine::connect( %ls, %ls, ***, %d )", server.c_str(), user.c_str(),
                    fast_load);
    tk_log_message(3, "Connecting to MS SQL server(2)...");
    connect_steps(server, user, password, std::wstring(), fast_load, false);
}

void mss_engine::connect(const std::wstring& server, bool fast_load) {
    tk_log_wmessage(2, L"mss_engine::connect(%ls, %d)", server.c_str(), fast_load);
    tk_log_message(3, "Connecting to MS SQL server(1)...");
    connect_steps(server, std::wstring(), std::wstring(), std::wstring(), fast_load, true);
}

void mss_engine::connect_steps(const std::wstring& server, const std::wstring& user,
                               const std::wstring& password, const std::wstring& database,
                               bool fast_load, bool windows_auth) {
    if (connected_) {
        tk_log_message(2, "Connection exists, disconnect first");
        data_source_->Uninitialize();
        connected_ = false;
    }
    initializer_.test_connection(data_source_, server, user, password, database);
    fast_load_ = enable_fast_load(data_source_.get(), fast_load);
    server_ = server;
    // Later opens log in again with what is kept here: a Windows login must not leave the
    // previous SQL Server login behind, or they would silently reconnect as that login.
    windows_auth_ = windows_auth;
    user_ = user;
    password_ = password;
    connected_ = true;
    configured_ = true;
    version_ = get_version(data_source_.get());
    tk_log_message(2, "Got MS SQL version: %d", version_);
    init_db_contents(data_source_.get());
    get_code_page(data_source_.get());
    tk_log_message(1, "mss_engine::connect - END");
}

bool mss_engine::enable_fast_load(IDBInitialize* data_source, bool enable) {
    tk_log_message(2, "mss_engine::enable_fast_load(%d)", enable);
    DBPROP prop{};
    prop.dwPropertyID = SSPROP_ENABLEFASTLOAD;
    prop.dwOptions = DBPROPOPTIONS_REQUIRED;
    prop.colid = DB_NULLID;
    VariantInit(&prop.vValue);
    prop.vValue.vt = VT_BOOL;
    prop.vValue.boolVal = enable ? VARIANT_TRUE : VARIANT_FALSE;
    DBPROPSET set{&prop, 1, DBPROPSET_SQLSERVERDATASOURCE};
    ole_com_ptr<IDBProperties> properties;
    odb_check(data_source->QueryInterface(IID_IDBProperties, properties.out_void()));
    const HRESULT hr = properties->SetProperties(1, &set);
    VariantClear(&prop.vValue);
    if (FAILED(hr)) {
        return false;
    }
    fast_load_ = enable;
    return enable;
}

int mss_engine::version_from_text(const std::wstring& text) {
    const std::wstring server = L"Microsoft SQL Server";
    const std::wstring azure = L"Microsoft SQL Azure";
    if (text.size() > server.size() + 10 && text.compare(0, server.size(), server) == 0) {
        std::wstring piece = text.substr(server.size(), 10);
        piece = tk_wtrim(piece);
        tk_log_wmessage(1, L"str_ver_num=%ls", piece.c_str());
        for (const version_prefix& p : version_prefixes) {
            if (piece.compare(0, wcslen(p.prefix), p.prefix) == 0) {
                return p.code;
            }
        }
        // A release newer than every one listed is served as the newest known.
        if (piece.size() >= 4 && std::iswdigit(piece[0]) && std::iswdigit(piece[1]) &&
            std::iswdigit(piece[2]) && std::iswdigit(piece[3]) &&
            std::stoi(piece.substr(0, 4)) > newest_version_year) {
            return newest_version_code;
        }
        return version_unknown;
    }
    if (text.size() > azure.size() && text.compare(0, azure.size(), azure) == 0) {
        tk_log_message(2, "Got Microsoft SQL Azure");
        return version_azure;
    }
    return version_unknown;
}

int mss_engine::get_version(IDBInitialize* data_source) {
    tk_log_message(2, "mss_engine::get_version(priv)");
    auto records = run_query(data_source, L"SELECT @@VERSION");
    records->reset();
    const std::wstring text = (*records->get_item())[0]->to_wstring();
    tk_log_wmessage(2, L"MS SQL version string: %ls", text.c_str());
    return version_from_text(text);
}

void mss_engine::init_db_contents(IDBInitialize* data_source) {
    tk_log_message(2, "mss_engine::init_db_contents");
    databases_.clear();
    if (version_ == version_azure) {
        return;
    }
    odb_command command(static_cast<IUnknown*>(data_source));
    ole_com_ptr<IRowset> rowset;
    try {
        command.execute(version_ < 4 ? L"SELECT name from master.sys.sysdatabases ORDER BY name"
                                     : L"SELECT name from master.sys.databases ORDER BY name",
                        &rowset);
    } catch (const odb_exception&) {
        if (version_ > 3) {
            throw;
        }
        tk_log_message(2, "Try the second approach for MS SQL <= v2000...");
        command.execute(L"SELECT name from master.dbo.sysdatabases ORDER BY name", &rowset);
    }
    odb_recordset records(rowset.get());
    for (records.reset(); !records.is_eof(); records.next()) {
        const std::wstring name = (*records.get_item())[0]->to_wstring();
        tk_log_wmessage(1, L"Got database: %ls", name.c_str());
        databases_.push_back(name);
    }
}

std::string mss_engine::get_code_page(IDBInitialize* data_source) {
    tk_log_message(2, "mss_engine::::get_code_page");
    auto records = run_query(data_source, L"exec sp_helpsort");
    records->reset();
    if (!records->is_eof()) {
        const std::string code_page = (*records->get_item())[0]->to_string();
        tk_log_message(1, "Got code page: [%s]", code_page.c_str());
        return code_page;
    }
    tk_log_message(2, "Failed to extract code page");
    return std::string();
}

const std::vector<std::wstring>& mss_engine::get_contents() {
    tk_log_message(1, "mss_engine::get_contents");
    tk_check(connected_, "mss_engi", 317);
    if (version_ == version_azure) {
        tk_log_message(2, "Cannot get list of databases on Azure SQL");
        throw tk_exception(
            std::string("Azure SQL does not allow to list databases.\r\nEnter database name "
                        "directly."),
            1);
    }
    return databases_;
}

bool mss_engine::is_db_exist(const std::wstring& name) {
    tk_log_wmessage(2, L"mss_engine::is_db_exist(%ls)", name.c_str());
    tk_check(connected_, "mss_engi", 198);
    if (version_ != version_azure) {
        tk_log_message(2, "Step #1: check via get_contents()");
        try {
            bool found = false;
            for (const std::wstring& database : get_contents()) {
                if (udb_equal_no_case(database, name)) {
                    found = true;
                    break;
                }
            }
            if (!found) {
                tk_log_wmessage(2, L"Database %ls has NOT been found", name.c_str());
                return false;
            }
            tk_log_wmessage(2, L"Database %ls has been found", name.c_str());
        } catch (const odb_exception&) {
            return false;
        }
    }
    tk_log_message(2, "Step #2: check via test_connection(...)");
    try {
        ole_com_ptr<IDBInitialize> probe;
        initializer_.test_connection(probe, server_, user_, password_, name);
        probe->Uninitialize();
    } catch (const odb_exception&) {
        throw mss_no_perm_exception(user_, name);
    }
    tk_log_message(2, "mss_engine::is_db_exist -- end");
    return true;
}

std::unique_ptr<mss_database> mss_engine::open_db(const std::wstring& name, int flags,
                                                  const std::wstring& schema) {
    tk_log_wmessage(2, L"mss_engine::open_db(%ls)", name.c_str());
    tk_log_wmessage(3, L"Opening MS SQL database '%ls'", name.c_str());
    tk_check(configured_, "mss_engi", 286);
    data_source_->Uninitialize();
    connected_ = false;
    initializer_.test_connection(data_source_, server_, user_, password_, name);
    connected_ = true;
    ole_com_ptr<IDBCreateSession> creator;
    odb_check(data_source_->QueryInterface(IID_IDBCreateSession, creator.out_void()));
    ole_com_ptr<IOpenRowset> session;
    odb_check(creator->CreateSession(nullptr, IID_IOpenRowset, session.out_unknown()));
    tk_log_message(1, "Connection to the database was establish successfully");
    return std::make_unique<mss_database>(name, schema, data_source_.get(), session.get(), flags);
}

std::wstring mss_engine::get_safe_tname(const std::wstring& name) {
    tk_log_wmessage(2, L"mss_engine::get_safe_tname(%ls)", name.c_str());
    std::wstring table;
    std::wstring owner;
    mss_split_tab_name(name, table, owner);
    // Both parts bracketed afresh: a table named "[x]" must not read as the table x.
    const std::wstring result = mss_format_tab_name(owner.empty() ? default_owner() : owner, table);
    tk_log_wmessage(2, L"result=%ls", result.c_str());
    return result;
}

std::wstring mss_engine::get_dest_tname(const std::wstring& name) {
    std::wstring owner;
    std::wstring table;
    mss_read_dest_name(name, owner, table);
    return mss_format_tab_name(owner.empty() ? default_owner() : owner, table);
}

std::wstring mss_engine::default_owner() const {
    if (!user_.empty() && !as_dbo_ && !udb_equal_no_case(user_, L"sa")) {
        return user_;
    }
    return L"dbo";
}

void mss_engine::set_as_dbo(bool as_dbo) {
    tk_log_message(1, "mss_engine::set_as_dbo(%d)", as_dbo);
    as_dbo_ = as_dbo;
}
