// A database on the MySQL server, and the value of one MySQL column.
#include "SQL/sql_db.h"

#include "SQL/sql_engi.h"
#include "SQL/sql_init.h"
#include "SQL/sql_recs.h"
#include "SQL/sql_tab.h"
#include "SQL/sql_util.h"
#include "SQL/sql_view.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "TK/tk_utils.h"
#include "UDB/udb_services.h"
#include "UDB/sql_vali.h"

#include <memory>

namespace {

sql_engine& engine() {
    return tk_singleton<sql_engine>::ref();
}

std::wstring first_text(udb_record& record, std::size_t index) {
    if (index >= record.size() || !record[index]) {
        return {};
    }
    return record[index]->to_wstring();
}

} // namespace

// ---- sql_field ----------------------------------------------------------------------------------

sql_field::sql_field(const std::wstring& name, int mysql_type, unsigned long length, unsigned flags,
                     const char* bytes)
    : udb_field(name, static_cast<std::uint32_t>(length),
                get_variant(mysql_type, length, flags, bytes), false, false) {
    tk_log_wmessage(1, L"sql_field::ctor2(%ls,%d,%d)", name.c_str(), mysql_type,
                    static_cast<int>(length));
}

sql_field::sql_field(const std::wstring& name, int mysql_type, unsigned long length, unsigned flags,
                     const std::wstring& text)
    : udb_field(name, static_cast<std::uint32_t>(length), ole_variant(), false, false) {
    const std::u16string units = tk_to_utf16(text);
    static_cast<ole_variant&>(*this) =
        get_variant(mysql_type, static_cast<unsigned long>(units.size()), flags, units.data());
    tk_log_wmessage(1, L"sql_field::ctor1(%ls,%d,%d)", name.c_str(), mysql_type,
                    static_cast<int>(length));
}

sql_field::sql_field(const t_ftd& column, unsigned long length, const char* text)
    : udb_field(column.name, static_cast<std::uint32_t>(length), ole_variant(), false, false) {
    const VARTYPE vt = column.type;
    if (vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array) {
        static_cast<ole_variant&>(*this) = get_variant(MYSQL_TYPE_BLOB, length, BINARY_FLAG, text);
    } else if (text != nullptr) {
        // The whole cell, NULs included.
        static_cast<ole_variant&>(*this) = get_variant_text(vt, std::string_view(text, length));
    }
    tk_log_wmessage(1, L"sql_field::ctor3(%ls,%d,%d)", column.name.c_str(), vt,
                    static_cast<int>(length));
}

sql_field::sql_field(const udb_field& that) : udb_field(that) {
}

// ---- sql_database -------------------------------------------------------------------------------

sql_database::sql_database(const std::wstring& name, MYSQL* mysql, std::int32_t mode)
    : udb_database(name, mode, 0), mysql(mysql) {
    tk_log_wmessage(2, L"sql_database::sql_database(%ls, mode=%d)", name.c_str(), mode);
    init_tables();
    if ((mode & 0x80) != 0) {
        return;
    }
    try {
        init_views();
    } catch (const sql_exception& e) {
        tk_log_message(3, "Failed to initialize views:\n%s", e.what());
    }
}

sql_database::~sql_database() = default;

void sql_database::init_tables() {
    tk_log_message(2, "sql_database::init_tables");
    std::unique_ptr<sql_tmp_recordset> reader;
    if (engine().version < 0x50001) {
        tk_log_message(2, "Extracting tables in old way");
        MYSQL_RES* result = mysql_list_tables(mysql, nullptr);
        if (result == nullptr) {
            throw sql_exception();
        }
        reader = std::make_unique<sql_tmp_recordset>(result, mysql);
    } else {
        tk_log_message(2, "Extracting tables in new way");
        auto list = std::make_unique<sql_list_tables_rs>(
            mysql, "show full tables where Table_type='BASE TABLE'");
        if (list->n_fields == 2) {
            // A server that flags the name column as bytes still gives names as text.
            list->fields[0].flags = 0;
        } else {
            tk_log_message(2, "Failed to create sql_list_tables_rs");
        }
        if (list->result != nullptr) {
            list->initialize();
        }
        reader = std::move(list);
    }
    for (reader->reset(); !reader->is_eof(); reader->next()) {
        udb_record* record = reader->get_item();
        const std::wstring table = first_text(*record, 0);
        tk_log_wmessage(2, L"Got table name: '%ls'", table.c_str());
        tables.push_back(table);
    }
}

void sql_database::init_views() {
    tk_log_message(2, "sql_database::init_views");
    const sql_blob_as_text_scope as_text(engine());
    const std::wstring statement =
        L"SELECT table_name, view_definition FROM information_schema.views WHERE table_schema=" +
        to_mysql_wstr(name, VT_BSTR);
    std::unique_ptr<udb_recordset> reader = query(statement);
    if (!reader) {
        return;
    }
    for (reader->reset(); !reader->is_eof(); reader->next()) {
        udb_record* record = reader->get_item();
        const std::wstring view = first_text(*record, 0);
        tk_log_wmessage(2, L"Got query name: '%ls'", view.c_str());
        const std::wstring text = first_text(*record, 1);
        tk_log_wmessage(2, L"Got query SQL: '%ls'", text.c_str());
        views.emplace_back(view, refine_view_out(text));
    }
}

std::wstring sql_database::listed_name(const std::wstring& table) const {
    for (const std::wstring& listed : tables) {
        if (names_match(listed, table)) {
            return listed;
        }
    }
    return table;
}

void sql_database::run_or_throw(const std::string& statement, const std::wstring& text) {
    if (mysql_real_query(mysql, statement.data(), static_cast<unsigned long>(statement.size())) !=
        0) {
        tk_log_wmessage(3, L"QUERY=%ls", text.c_str());
        throw sql_exception();
    }
}

std::unique_ptr<udb_recordset> sql_database::create_table(const std::wstring& table,
                                                          const udb_schema& schema,
                                                          const udb_indexes& indexes) {
    tk_log_wmessage(2, L"sql_database::create_table(%ls)", table.c_str());
    if ((mode & 0x1) != 0) {
        throw tk_mail_assertion("sql_db", 336);
    }
    if (is_table_exist(table)) {
        return get_table(table, 8);
    }
    t_names_map field_names;
    const std::wstring statement = sql_create_table_statement(table, schema, indexes, field_names);
    tk_log_wmessage(2, L"Run SQL-query: %ls\n", statement.c_str());
    run_or_throw(tk_to_utf8(statement), statement);

    tables.push_back(table);
    tk_log_message(1, "Step #1");
    tk_log_wmessage(2, L"udb_names_map::add_fn_map(%ls)", table.c_str());
    names_map.add_fn_map(table, field_names);
    tk_log_message(1, "Step #2");
    auto created = std::make_unique<sql_table>(this, listed_name(table), &relationships, 2);
    created->replaces_rows = false;
    return created;
}

bool sql_database::delete_tab(const std::wstring& table) {
    tk_log_wmessage(2, L"sql_database::delete_tab (%ls)", table.c_str());
    if ((mode & 0x1) != 0) {
        throw tk_mail_assertion("sql_db", 446);
    }
    if (!is_table_exist(table)) {
        throw tk_mail_assertion("sql_db", 447);
    }
    const std::wstring statement =
        L"DROP TABLE IF EXISTS " + engine().get_safe_name(listed_name(table)) + L" CASCADE";
    run_or_throw(tk_to_utf8(statement), statement);
    return udb_database::delete_tab(table);
}

void sql_database::empty_table(const std::wstring& table) {
    udb_database::empty_table(sql_quote_identifier(listed_name(table)));
}

std::unique_ptr<udb_recordset> sql_database::get_query(const std::wstring& query_name,
                                                       const std::wstring& select, std::int32_t) {
    tk_log_wmessage(2, L"sql_database::get_query(%ls,%ls)", query_name.c_str(), select.c_str());
    return std::make_unique<sql_recordset>(this, query_name, select, &relationships);
}

std::unique_ptr<udb_recordset> sql_database::get_table(const std::wstring& table,
                                                       std::int32_t flags) {
    tk_log_wmessage(2, L"sql_database::get_table(%ls)", table.c_str());
    if (!is_table_exist(table)) {
        tk_log_wmessage(2, L"Table '%ls' does not exists", table.c_str());
        throw tk_mail_assertion("sql_db", 75);
    }
    return std::make_unique<sql_table>(this, listed_name(table), &relationships, flags);
}

std::unique_ptr<sql_tmp_recordset> sql_database::query_rows(const std::wstring& statement) {
    tk_log_wmessage(2, L"sql_database::query(%ls)", statement.c_str());
    tk_log_wmessage(1, L"sql_database::do_query2(%ls)", statement.c_str());
    const std::string utf8 = tk_to_utf8(statement);
    mysql_real_query(mysql, utf8.data(), static_cast<unsigned long>(utf8.size()));
    MYSQL_RES* result = mysql_use_result(mysql);
    if (mysql_errno(mysql) != 0) {
        tk_log_wmessage(3, L"QUERY=%ls", statement.c_str());
        if (result != nullptr) {
            mysql_free_result(result);
        }
        throw sql_exception();
    }
    if (result == nullptr) {
        return nullptr;
    }
    return std::make_unique<sql_tmp_recordset>(result, mysql);
}

std::unique_ptr<udb_recordset> sql_database::query(const std::wstring& statement) {
    return query_rows(statement);
}

void sql_database::query_append(std::string_view statement) {
    tk_log_message(2, "sql_database::query_append(q_len=%zu)", statement.size());
    tk_log_message(2, "(%.*s)", static_cast<int>(statement.size()), statement.data());
    tk_log_message(1, "sql_database::do_query1(%.*s)", static_cast<int>(statement.size()),
                   statement.data());
    mysql_real_query(mysql, statement.data(), static_cast<unsigned long>(statement.size()));
    MYSQL_RES* result = mysql_use_result(mysql);
    if (mysql_errno(mysql) != 0) {
        tk_log_message(3, "QUERY=%.*s", static_cast<int>(statement.size()), statement.data());
        if (result != nullptr) {
            mysql_free_result(result);
        }
        throw sql_exception();
    }
    if (result != nullptr) {
        mysql_free_result(result);
    }
}

bool sql_database::test_query(const std::wstring& statement) {
    tk_log_wmessage(2, L"sql_database::query(%ls)", statement.c_str());
    const std::string utf8 = tk_to_utf8(statement);
    const int rc = mysql_real_query(mysql, utf8.data(), static_cast<unsigned long>(utf8.size()));
    MYSQL_RES* result = mysql_use_result(mysql);
    if (result != nullptr) {
        mysql_free_result(result);
    }
    return rc == 0;
}

sql_column_kinds sql_database::column_kinds() {
    const sql_blob_as_text_scope as_text(engine());
    sql_column_kinds kinds;
    std::unique_ptr<udb_recordset> reader =
        query(L"SELECT table_name, column_name, data_type FROM information_schema.columns WHERE "
              L"table_schema=" +
              to_mysql_wstr(name, VT_BSTR));
    if (!reader) {
        return kinds;
    }
    for (reader->reset(); !reader->is_eof(); reader->next()) {
        udb_record* record = reader->get_item();
        kinds[sql_lower_ascii(first_text(*record, 0))][sql_lower_ascii(first_text(*record, 1))] =
            sql_kind_of_mysql_type(first_text(*record, 2));
    }
    return kinds;
}

void sql_database::create_views(const std::vector<udb_view>& source_views) {
    tk_log_message(2, "sql_database::create_views");
    std::vector<std::wstring> view_names;
    view_names.reserve(source_views.size());
    for (const udb_view& view : source_views) {
        view_names.push_back(view.first);
    }
    sql_engine& e = engine();
    const std::unique_ptr<udb_validator> validator(e.create_tn_validator(view_names, {}));
    // What the view computes depends on its columns' types, which are known once the tables are.
    const sql_column_kinds kinds = column_kinds();
    sql_view_target target;
    target.database = name;
    target.columns = &kinds;
    // A view may begin with WITH from MySQL 8.0 and MariaDB 10.2 on.
    target.takes_ctes = e.is_mariadb() ? e.version >= 0xA0200 : e.version >= 0x80000;
    for (const udb_view& view : source_views) {
        if (tk_stop_requested()) {
            throw tk_final_exception();
        }
        std::wstring view_name = view.first;
        const std::wstring& text = view.second;
        try {
            tk_log_wmessage(2, L"Processing '%ls'", view_name.c_str());
            tk_log_wmessage(2, L"\t'%ls'", text.c_str());
            const std::wstring body = sql_view_text_for_mysql(text, &names_map, target);
            if (!validator->is_acceptable(view_name)) {
                const std::wstring safe = validator->get_safe_name(view_name);
                tk_log_wmessage(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", view_name.c_str(),
                                safe.c_str());
                names_map.add_tn_mapping(view_name, safe);
                tk_log_wmessage(2, L"Store generated view name '%ls'", safe.c_str());
                validator->add_existing_name(safe);
                view_name = safe;
            }
            const std::wstring statement =
                sql_create_view_head + e.get_safe_name(view_name) + L" AS " + body;
            query(statement);
        } catch (const tk_exception& error) {
            tk_log_message(2, "Error while creating view:\n%s\n", error.what());
            if (sql_ends_object_list(error)) {
                throw;
            }
            udb_error_handler& handler = tk_singleton<udb_error_handler>::ref();
            handler.context = "View '" + tk_to_utf8(view.first) + "'";
            handler.handle(error, false);
        }
    }
}

std::wstring sql_database::refine_view_out(const std::wstring& text) const {
    tk_log_wmessage(2, L"sql_database::refine_view_out(%ls)", text.c_str());
    return sql_view_converter::refine_view_out(text, name);
}
