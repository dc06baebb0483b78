// The neutral database, engine and property-bag interfaces that sources and destinations
// implement.
#include "UDB/udb_db.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/file.h"

udb_database::udb_database(const std::wstring& name, std::int32_t mode, std::int32_t case_sensitive)
    : mode(mode), name(name), case_sensitive(case_sensitive) {
    tk_log_wmessage(2, L"udb_database::ctor(%ls,%d)", name.c_str(), mode);
}

udb_database::~udb_database() {
    tk_log_message(2, "udb_database::dtor");
}

bool udb_database::names_match(const std::wstring& a, const std::wstring& b) const {
    return case_sensitive != 0 ? a == b : udb_equal_no_case(a, b);
}

void udb_database::create_schema(const std::wstring&) {
}

void udb_database::create_table() {
    tk_log_message(2, "udb_database::create_table(partition)");
    throw tk_mail_assertion("udb_db", 50);
}

void udb_database::create_index(const std::wstring&, const udb_schema&, const udb_index&) {
}

void udb_database::create_indexes(const std::wstring& table, const udb_schema& schema,
                                  const udb_indexes& indexes) {
    tk_log_wmessage(2, L"udb_database::create_indexes(%ls)", table.c_str());
    tk_log_message(1, "idxs.size=%d", static_cast<int>(indexes.size()));
    for (const udb_index& index : indexes) {
        create_index(table, schema, index);
    }
    tk_log_wmessage(1, L"udb_database::create_indexes - at the END");
}

void udb_database::create_sequences(const std::vector<udb_sequence>&) {
}

void udb_database::create_views(const std::vector<udb_view>&) {
}

void udb_database::delete_fk(const udb_relationship&) {
}

void udb_database::delete_idx(const std::wstring&, const udb_index&) {
}

bool udb_database::delete_tab(const std::wstring& table) {
    tk_log_wmessage(2, L"udb_database::delete_tab(%ls)", table.c_str());
    for (auto it = tables.begin(); it != tables.end(); ++it) {
        if (names_match(*it, table)) {
            tables.erase(it);
            return true;
        }
    }
    tk_log_message(2, "Table not found!");
    return false;
}

void udb_database::reserved1() {
}

void udb_database::empty_table(const std::wstring& table) {
    tk_log_wmessage(2, L"udb_database::empty_table(%ls)", table.c_str());
    query(L"delete from " + table);
}

void udb_database::reserved2() {
}

void udb_database::get_schema_info(std::vector<std::wstring>& names) {
    names.clear();
}

std::unique_ptr<udb_recordset> udb_database::query(const std::wstring&) {
    throw tk_mail_assertion("udb_db", 111);
}

void udb_database::create_relationships(const udb_relationships&) {
}

std::vector<std::wstring>& udb_database::get_tables() {
    return tables;
}

bool udb_database::is_table_exist(const std::wstring& table) {
    tk_log_wmessage(2, L"udb_database::is_table_exist(%ls,case_sensitive=%d)", table.c_str(),
                    case_sensitive);
    if (tables.empty()) {
        tk_log_message(2, "Tables list is EMPTY!");
    }
    for (const std::wstring& entry : tables) {
        tk_log_wmessage(2, L"Compare with %ls", entry.c_str());
        if (names_match(entry, table)) {
            tk_log_message(1, "table exists");
            return true;
        }
    }
    tk_log_message(1, "table not found");
    return false;
}

void udb_database::add_tn_mapping(const std::wstring& source, const std::wstring& dest) {
    tk_log_wmessage(2, L"udb_database::add_tn_mapping(%ls->%ls)", source.c_str(), dest.c_str());
    names_map.add_tn_mapping(source, dest);
}

udb_engine::~udb_engine() = default;

void udb_engine::db_delete(const std::wstring& name) {
    if (!DeleteFileW(name.c_str())) {
        throw tk_exception_ex();
    }
}

bool udb_engine::is_db_exist(const std::wstring& name) {
    std::string path;
    if (!tk_unicode_to_ansi3(name.c_str(), path)) {
        return false;
    }
    return tk_is_file_exist1(path, tk_file_exists);
}

void udb_engine::set_properties(udb_properties* properties) {
    this->properties = properties;
}

udb_properties::~udb_properties() = default;

udb_property_map& udb_properties::get_properties() {
    return properties;
}
