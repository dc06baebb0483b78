// The converter object: construction, the catalogue queries of the wizard's pages.
#include "converter/vlm_conv.h"

#include "MSS/mss_db.h"
#include "TK/tk_log.h"
#include "UDB/udb_qchk.h"
#include "TK/tk_utils.h"

udb_converter::udb_converter() {
    tk_log_message(2, "udb_converter::ctor");
}

udb_converter::~udb_converter() = default;

std::wstring udb_converter::current_object() const {
    const std::lock_guard<std::mutex> lock(current_mutex_);
    return current_object_;
}

void udb_converter::set_current_object(const std::wstring& name) {
    const std::lock_guard<std::mutex> lock(current_mutex_);
    current_object_ = name;
}

mssql_converter_impl::mssql_converter_impl() : mss(std::make_unique<mss_engine>(0)) {
    mss->set_as_dbo(as_dbo);
    mss->set_view_owned(view_owned);
}

mssql_converter_impl::~mssql_converter_impl() = default;

void mssql_converter_impl::set_as_dbo(bool value) {
    as_dbo = value;
    mss->set_as_dbo(value);
}

void mssql_converter_impl::set_view_owned(bool value) {
    view_owned = value;
    mss->set_view_owned(value);
}

std::vector<std::wstring> mssql_converter_impl::get_mss_schemas(const std::wstring& database) {
    tk_log_wmessage(2, L"mssql_converter_impl::get_mss_schemas(%ls)", database.c_str());
    std::vector<std::wstring> names;
    try {
        if (!mss->is_db_exist(database)) {
            tk_log_message(1, "Database not exists, load standard schemas");
            return {L"dbo", L"guest", L"sys"};
        }
        tk_log_message(1, "Database exists, load schemas list");
        const std::unique_ptr<mss_database> db = mss->open_db(database, 0xA1, L"");
        db->get_schema_info(names);
    } catch (const tk_exception& error) {
        tk_log_message(3, "Cannot extract list of schemas: %s", error.what());
    }
    return names;
}

std::vector<std::wstring> mssql_converter_impl::get_mss_databases() {
    return mss->get_contents();
}

bool mssql_converter_impl::test_query(const std::wstring& src, const std::wstring& query) {
    tk_log_message(2, "mssql_converter_impl::test_query");
    // A text holding a second statement is never sent: the test would run it on the source. What
    // is sent is what a run sends, the text without its comments.
    if (!query.empty() && !udb_single_select_fault(query).empty()) {
        return false;
    }
    try {
        const std::unique_ptr<mss_database> db = mss->open_db(src, 1, L"");
        return db->test_query(udb_without_comments(query));
    } catch (...) {
        return false;
    }
}

mysql_converter_impl::mysql_converter_impl() : sql(std::make_unique<sql_engine>()) {
    tk_log_message(2, "mysql_converter_impl::ctor");
}

mysql_converter_impl::~mysql_converter_impl() {
    tk_log_message(2, "mysql_converter_impl::dtor");
}

void mysql_converter_impl::store_mysql_settings(const std::string& host_name,
                                                const std::string& user_name,
                                                const std::string& password,
                                                const std::string& port_text) {
    host = tk_trim(host_name);
    user = tk_trim(user_name);
    pswd = tk_trim(password);
    port = tk_trim(port_text);
    if (port.empty()) {
        port = "3306";
    }
}

velmora_convertor::velmora_convertor(vlm_program kind)
    : tk_serializer("Software\\Quintaro\\Velmora"), program(kind) {
    tk_log_message(2, "velmora_convertor::ctor");
    serialize(false);
    if (program == vlm_program::console) {
        direct = true;
        convert_views = false;
    }
}

velmora_convertor::~velmora_convertor() {
    tk_log_message(2, "velmora_convertor::dtor");
    if (program == vlm_program::wizard) {
        serialize(true);
    }
}

void velmora_convertor::get_all_tables(std::vector<std::wstring>& out) {
    tk_log_message(2, "velmora_convertor::get_all_tables");
    const std::unique_ptr<mss_database> db = mss->open_db(src, 0xA1, mss_schema);
    out = db->get_tables();
}

void velmora_convertor::get_all_views(std::vector<udb_view>& out) {
    tk_log_message(2, "velmora_converter::get_all_views");
    const std::unique_ptr<mss_database> db = mss->open_db(src, 0x21, mss_schema);
    if (!db->views_error.empty()) {
        throw tk_exception(db->views_error, 1);
    }
    out = db->views;
}

std::unique_ptr<udb_schema> velmora_convertor::get_schema(const std::wstring& table) {
    tk_log_wmessage(2, L"velmora_convertor::get_schema(%ls)", table.c_str());
    const std::unique_ptr<mss_database> db = mss->open_db(src, 1, L"");
    if (!db->is_table_exist(table)) {
        throw tk_mail_assertion("vlm_conv", 86);
    }
    const std::unique_ptr<udb_recordset> rs = db->get_table(table, 1);
    // Copies of the descriptors: the schema outlives the table and the database.
    auto schema = std::make_unique<udb_schema>(true);
    for (const auto& column : rs->schema) {
        schema->push_back(std::make_shared<t_ftd>(*column));
    }
    schema->seed = rs->schema.seed;
    schema->increment = rs->schema.increment;
    return schema;
}

bool velmora_convertor::test_query(const std::wstring& query) {
    return mssql_converter_impl::test_query(src, query);
}

bool velmora_convertor::can_create_views() {
    tk_log_message(2, "velmora_convertor::can_create_views");
    return !direct || sql->version > 0x50000;
}

std::wstring wizard_title() {
    return L"Velmora 8.3";
}
