// An existing MySQL table opened for writing.
#include "SQL/sql_tab.h"

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_ffnd.h"
#include "SQL/sql_fkp.h"
#include "SQL/sql_util.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

namespace {

sql_engine& engine() {
    return tk_singleton<sql_engine>::ref();
}

bool is_old_version() {
    const uint32_t version = engine().version;
    tk_log_message(1, "is_old_version(%08X)", version);
    return version < 0x40100;
}

constexpr const char* structure_error_text =
    "The structure of data source does not conform to the destination table. For more "
    "information see Troubleshooting article of the product documentation.";

std::wstring cell_text(udb_record& record, std::size_t index) {
    if (index >= record.size() || !record[index]) {
        return {};
    }
    return record[index]->to_wstring();
}

bool ends_with_no_case(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() &&
           udb_equal_no_case(std::wstring_view(text).substr(text.size() - suffix.size()), suffix);
}

// CURRENT_TIMESTAMP as servers show it: bare, or (MariaDB from 10.2) as a call, possibly with
// its fractional digits.
bool is_current_timestamp(const std::wstring& text) {
    constexpr std::wstring_view word = L"CURRENT_TIMESTAMP";
    if (text.size() < word.size() ||
        !udb_equal_no_case(std::wstring_view(text).substr(0, word.size()), word)) {
        return false;
    }
    const std::wstring_view rest = std::wstring_view(text).substr(word.size());
    return rest.empty() || (rest.front() == L'(' && rest.back() == L')' &&
                            rest.find_first_not_of(L"0123456789", 1) == rest.size() - 1);
}

// A large object as the update and delete operations see it: stored size 0, text or bytes.
bool is_lob_field(const udb_field& field) {
    const VARTYPE vt = field.get_type();
    return field.size == 0 && (vt == VT_BLOB || vt == ole_variant::vt_byte_array || vt == VT_BSTR);
}

// A name as a backquoted identifier in UTF-8 (cut and quoted as the engine quotes names).
std::string safe_name_utf8(const std::wstring& name) {
    return tk_to_utf8(engine().get_safe_name(name));
}

// The number of rows an UPDATE matched, from the statement's info text; -1 when unknown.
long long rows_matched(MYSQL* mysql) {
    const char* info = mysql_info(mysql);
    if (info == nullptr) {
        return -1;
    }
    const char* at = std::strstr(info, "matched:");
    if (at == nullptr) {
        return -1;
    }
    return std::strtoll(at + std::strlen("matched:"), nullptr, 10);
}

// Sends an UPDATE and makes sure it matched a row; failures raise level-0 exceptions.
void run_update(sql_database& db, const std::string& statement, const std::wstring& table,
                const char* error_line) {
    try {
        db.query_append(statement);
    } catch (const std::exception& e) {
        tk_log_message(2, error_line, e.what());
        throw;
    }
    const long long matched = rows_matched(db.mysql);
    tk_log_message(2, "UPDATE matched %lld rows", matched);
    if (matched == 0) {
        throw tk_exception(L"No row of table '" + table + L"' has the key of the updated record",
                           0);
    }
}

// The number of UTF-8 bytes of a value as it travels as long data.
std::size_t long_value_bytes(const udb_field& field) {
    const VARTYPE vt = field.get_type();
    if (ole_variant::is_byte_array(vt)) {
        uint8_t* bytes = nullptr;
        return field.get_bytes(&bytes);
    }
    if (vt == VT_BSTR && field.var.bstrVal != nullptr) {
        const std::size_t units = field.get_size();
        const char16_t* text = field.var.bstrVal;
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < units; ++i) {
            const char16_t c = text[i];
            bytes += c < 0x80                      ? 1
                     : c < 0x800                   ? 2
                     : (c >= 0xD800 && c < 0xDC00) ? 4
                     : (c >= 0xDC00 && c < 0xE000) ? 0
                                                   : 3;
        }
        return bytes;
    }
    return field.to_string().size();
}

// The table column a record field of the update and delete operations is written to: its
// name, or the validator's safe name when the name is not acceptable. False for a missing
// field and for a name the table has no column of.
bool column_of_field(udb_validator& validator, const udb_schema& schema, const udb_field* field,
                     std::wstring& mapped) {
    if (field == nullptr) {
        return false;
    }
    mapped =
        validator.is_acceptable(field->name) ? field->name : validator.get_safe_name(field->name);
    tk_log_wmessage(1, L"Got mappend fn: %ls", mapped.c_str());
    if (!schema.find_field(mapped)) {
        tk_log_wmessage(1, L"Field '%ls' is not found in schema", mapped.c_str());
        return false;
    }
    return true;
}

// Appends "`column`=literal" to a SET list.
void append_assignment(std::string& set_list, const std::wstring& column, const udb_field& field) {
    if (!set_list.empty()) {
        set_list += ", ";
    }
    set_list += safe_name_utf8(column);
    set_list += '=';
    append_mysql_str(set_list, field);
}

bool is_long_field(const udb_field& field) {
    return field.get_type() != VT_EMPTY && field.get_size() > sql_engine::max_field_size;
}

// The rows of a SHOW statement; one that answers no result set is a server fault.
std::unique_ptr<udb_recordset> show_rows(sql_database& db, const std::wstring& statement) {
    std::unique_ptr<udb_recordset> rows = db.query(statement);
    if (!rows) {
        throw tk_exception(L"No result for: " + statement, 0);
    }
    return rows;
}

} // namespace

// ---- Construction and reading back --------------------------------------------------------------

sql_table::sql_table(sql_database* db, const std::wstring& name, udb_relationships* relationships,
                     std::int32_t flags)
    : sql_recordset(db, name, relationships), replaces_rows((db->get_mode() & 0x100) != 0) {
    tk_log_message(2, "sql_table::ctor");
    initialize(static_cast<std::uint32_t>(flags));
}

sql_table::~sql_table() {
    tk_log_message(2, "sql_table::dtor");
    flush_pending_logged();
}

void sql_table::flush_pending_logged() {
    if (pending_query.empty()) {
        return;
    }
    tk_log_message(1, "Run SQL query: [%s]", pending_query.c_str());
    try {
        sql_db->query_append(pending_query);
    } catch (const tk_exception& e) {
        tk_log_wmessage(3, L"Table '%ls': ERROR '%s'", name.c_str(), e.what());
    }
    pending_query.clear();
}

void sql_table::initialize(std::uint32_t flags) {
    tk_log_message(1, "sql_table::initialize(%d)", static_cast<int>(flags));
    sql_engine& e = engine();
    // Result cells of the SHOW statements come as text, whatever flags the server gives them.
    const sql_blob_as_text_scope as_text(engine());

    // Column details: declared types and defaults.
    {
        const std::wstring statement =
            L"SHOW COLUMNS FROM " + (is_old_version() ? name : sql_quote_identifier(name));
        std::unique_ptr<udb_recordset> rows = show_rows(*sql_db, statement);
        for (rows->reset(); !rows->is_eof(); rows->next()) {
            udb_record& row = *rows->get_item();
            const std::wstring column_name = cell_text(row, 0);
            const std::wstring type = cell_text(row, 1);
            const std::wstring def = row.size() >= 2 ? cell_text(row, row.size() - 2) : L"";
            tk_log_wmessage(1, L"Field '%ls' has type: %ls", column_name.c_str(), type.c_str());
            if (!schema.find_field(column_name)) {
                // The server and the first SELECT read the same table; nothing to refine.
                continue;
            }
            t_ftd& column = schema.get_field1(column_name);
            int n1 = 0;
            int n2 = 0;
            wchar_t tail = 0;
            if ((std::swscanf(type.c_str(), L"varchar(%d%lc", &n1, &tail) == 2 ||
                 std::swscanf(type.c_str(), L"char(%d%lc", &n1, &tail) == 2) &&
                tail == L')') {
                // The result's length counts bytes; the declared one, characters.
                tk_log_message(1, "Refining type/size for (var)char(%d)", n1);
                column.type = VT_BSTR;
                column.size = n1;
            } else if (std::swscanf(type.c_str(), L"float(%d,%d%lc", &n1, &n2, &tail) == 3 &&
                       tail == L')') {
                tk_log_message(1, "Refining type for FLOAT(%d,%d)", n1, n2);
                if (n1 != 0 && n2 != 0 && n2 < n1) {
                    column.type = VT_DECIMAL;
                    column.prec = n1;
                    column.scale = n2;
                }
            } else if (ends_with_no_case(type, L"text")) {
                tk_log_message(1, "Change type from BLOB to TEXT");
                column.type = VT_BSTR;
            }

            tk_log_wmessage(1, L"Got default value: %ls", def.c_str());
            if (!column.b_not_null && def.empty()) {
                continue;
            }
            tk_log_message(1, "Default value's type: %08X", column.type);
            if (column.type == VT_DATE) {
                if (def.empty() || def == L"0000-00-00" || def == L"0000-00-00 00:00:00" ||
                    def == L"00000000000000") {
                    tk_log_message(1, "Skip empty def.values for date column");
                    column.b_not_null = false;
                } else if (is_current_timestamp(def)) {
                    tk_log_message(1, "Special processing for CURRENT_TIMESTAMP");
                    column.dw_reserved = 9;
                }
            } else if (column.type == VT_BOOL) {
                tk_log_message(1, "Special processing for boolean");
                if (udb_equal_no_case(def, L"b'0'")) {
                    column.default_value = ole_variant(false);
                } else if (udb_equal_no_case(def, L"b'1'")) {
                    column.default_value = ole_variant(true);
                }
            } else {
                try {
                    column.default_value = get_variant(column.type, def.c_str());
                } catch (const ole_cast_exception&) {
                    // An expression default (a function call) is no value of the column's type.
                    tk_log_wmessage(2, L"Default '%ls' is not a value, skipped", def.c_str());
                }
            }
        }
    }

    if ((flags & ~0x60u) == 0) {
        tk_log_message(2, "Mode=no_indexes, nothing to do");
        return;
    }

    // Indexes and the row key.
    {
        std::unique_ptr<udb_recordset> rows =
            show_rows(*sql_db, L"SHOW INDEX FROM " + e.get_safe_name(name));
        for (rows->reset(); !rows->is_eof(); rows->next()) {
            udb_record& row = *rows->get_item();
            const bool non_unique = row.at(1) ? row.at(1)->to_bool() : false;
            const std::wstring index_name = cell_text(row, 2);
            const std::wstring column_name = cell_text(row, 4);
            const bool primary = index_name == L"PRIMARY";
            const bool unique = !non_unique;
            tk_log_wmessage(1, L"Got index '%ls' (primary=%d, unique=%d)", index_name.c_str(),
                            primary ? 1 : 0, unique ? 1 : 0);
            udb_index* listed = nullptr;
            for (udb_index& index : indexes) {
                if (udb_equal_no_case(index.name, index_name)) {
                    listed = &index;
                    break;
                }
            }
            if (listed != nullptr) {
                listed->columns.push_back(column_name);
                continue;
            }
            udb_index index(index_name, unique, primary);
            index.b_constraint = false;
            index.columns.push_back(column_name);
            add_index(index);
        }
    }

    // Foreign keys.
    if (e.version >= 0x3172C) {
        tk_log_message(2, "Extracting foreign keys");
        std::unique_ptr<udb_recordset> rows =
            show_rows(*sql_db, L"SHOW CREATE TABLE " + e.get_safe_name(name));
        for (rows->reset(); !rows->is_eof(); rows->next()) {
            udb_record& row = *rows->get_item();
            if (row.empty() || !row.back() || relationships == nullptr) {
                continue;
            }
            sql_fk_parser parser(name, row.back()->to_string());
            parser.do_parse(*relationships);
        }
    }
}

// ---- Row insertion ------------------------------------------------------------------------------

std::int64_t sql_table::get_max_buffer_size() {
    tk_log_message(1, "sql_table::get_max_buffer_size");
    static const std::int64_t limit = 1000000;
    return limit;
}

void sql_table::append_record(const udb_record& record) {
    tk_log_message(2, "sql_table::append_record");
    const std::uint32_t size = record.get_total_size();
    tk_log_message(1, "record size=%d", static_cast<int>(size));
    if (size > get_max_buffer_size()) {
        tk_log_message(3, "Row is too big (%d bytes), swtich to slow_append",
                       static_cast<int>(size));
        engine().fast_insert = false;
        flush_pending_logged();
    }
    if (engine().fast_insert) {
        fast_append(record);
    } else {
        slow_append(record, size);
    }
    ++rec_count;
}

void sql_table::append_head(std::string& out, bool fast) const {
    if (replaces_rows) {
        out += "REPLACE INTO ";
    } else {
        out += fast ? "INSERT IGNORE INTO " : "INSERT INTO ";
    }
    if (is_old_version()) {
        tk_append_utf8(out, std::wstring_view(name));
    } else {
        tk_append_utf8(out, std::wstring_view(sql_quote_identifier(name)));
    }
    out += '(';
}

bool sql_table::layout_matches(const row_layout& layout, const udb_record& record) const {
    if (!layout.valid || layout.field_names.size() != record.size()) {
        return false;
    }
    for (std::size_t i = 0; i < record.size(); ++i) {
        const std::wstring& field_name = record[i] ? record[i]->name : std::wstring();
        if (field_name != layout.field_names[i]) {
            return false;
        }
    }
    return true;
}

void sql_table::build_layout(row_layout& layout, const udb_record& record, bool path_slow) {
    layout = row_layout();
    layout.valid = true;
    layout.generation = ++layouts_built_;
    for (const auto& field : record) {
        layout.field_names.push_back(field ? field->name : std::wstring());
    }
    const bool old = is_old_version();
    auto plain_name = [old](const std::wstring& column) {
        return tk_to_utf8(old ? column : sql_quote_identifier(column));
    };
    const std::size_t n_fields = record.size();
    const std::size_t n_columns = schema.size();
    if (n_columns > n_fields) {
        tk_log_message(1, "Size of record is less than size of schema");
        const std::unique_ptr<udb_validator> validator(engine().create_fn_validator(record));
        for (std::size_t i = 0; i < n_fields; ++i) {
            const std::wstring& field_name = layout.field_names[i];
            std::wstring mapped = field_name;
            if (!validator->is_acceptable(mapped)) {
                mapped = validator->get_safe_name(field_name);
                tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", mapped.c_str());
                validator->add_existing_name(mapped);
            }
            tk_log_wmessage(1, L"Name=%ls, mapped name=%ls", field_name.c_str(), mapped.c_str());
            if (!schema.find_field(mapped) || !record[i]) {
                layout.error_name = field_name;
                layout.error_is_field = true;
                return;
            }
            const t_ftd& column = schema.get_field2(mapped);
            if (!layout.column_list.empty()) {
                layout.column_list += ", ";
            }
            layout.column_list += plain_name(column.name);
            layout.field_of.push_back(static_cast<std::int32_t>(i));
            layout.column_of.push_back(&column);
        }
        return;
    }
    tk_log_message(1, "Size of schema is less or equal to the size of record");
    const sql_field_finder finder(record);
    for (const auto& column : schema) {
        const std::int32_t i = finder.get_field_idx(column->name);
        if (i < 0 || !record[static_cast<std::size_t>(i)]) {
            layout.error_name = column->name;
            layout.error_is_field = false;
            return;
        }
        if (!layout.column_list.empty()) {
            layout.column_list += ", ";
        }
        layout.column_list += path_slow ? safe_name_utf8(column->name) : plain_name(column->name);
        layout.field_of.push_back(i);
        layout.column_of.push_back(column.get());
    }
}

sql_table::row_layout& sql_table::layout_for(const udb_record& record, bool path_slow) {
    row_layout& layout = path_slow ? slow_layout_ : fast_layout_;
    if (!layout_matches(layout, record)) {
        build_layout(layout, record, path_slow);
    }
    if (!layout.error_name.empty()) {
        if (layout.error_is_field) {
            tk_log_wmessage(path_slow ? 2 : 1, L"Field %ls not found", layout.error_name.c_str());
        } else {
            tk_log_wmessage(path_slow ? 2 : 1, L"Field %ls not found in appending record",
                            layout.error_name.c_str());
        }
        throw udb_structure_exception(structure_error_text);
    }
    return layout;
}

void sql_table::slow_append(const udb_record& record) {
    slow_append(record, record.get_total_size());
}

void sql_table::slow_append(const udb_record& record, std::uint32_t size) {
    tk_log_message(1, "sql_table::slow_append");
    const bool big = size > get_max_buffer_size();
    tk_log_message(1, "mysql_db.get_mode()=%d", sql_db->get_mode());
    row_layout& layout = layout_for(record, true);

    // One buffer for every row's statement; the head is the layout's.
    std::string& statement = statement_buffer_;
    statement.clear();
    if (layout.slow_head.empty()) {
        append_head(layout.slow_head, false);
        layout.slow_head += layout.column_list;
        layout.slow_head += ") VALUES (";
    }
    statement += layout.slow_head;
    // The long values in the order of their placeholders.
    std::vector<const udb_field*> long_fields;
    for (std::size_t k = 0; k < layout.field_of.size(); ++k) {
        if (k > 0) {
            statement += ", ";
        }
        const udb_field& field = *record[static_cast<std::size_t>(layout.field_of[k])];
        append_fld_str(statement, field, *layout.column_of[k], big);
        if (big && is_long_field(field)) {
            long_fields.push_back(&field);
        }
    }
    statement += ')';
    tk_log_message(1, "Run SQL query: %s", statement.c_str());

    // The statement and its long data must fit the packet limit of this session.
    const std::uint32_t packet = engine().get_max_allowed_packet();
    std::size_t bytes = statement.size();
    for (const udb_field* field : long_fields) {
        bytes += long_value_bytes(*field);
    }
    if (big) {
        tk_log_message(2, "get_max_allowed_packet=%d", static_cast<int>(packet));
    }
    if (packet != 0 && bytes > packet) {
        tk_log_message(2, "row_tot_size > max_allowed_packet");
        throw tk_exception("Row size exceeds 'max_allowed_packet'", 0);
    }
    std::uint64_t affected = 0;
    if (big) {
        affected = sql_db->prepared_statement(statement, long_fields);
    } else {
        sql_db->query_append(statement);
        affected = mysql_affected_rows(sql_db->mysql);
    }
    // A REPLACE counts the row it inserted and every row it removed.
    if (replaces_rows && affected != static_cast<std::uint64_t>(-1) && affected > 1) {
        rows_replaced += affected - 1;
    }
}

void sql_table::fast_append(const udb_record& record) {
    tk_log_message(1, "sql_table::fast_append");
    const auto n_fields = static_cast<std::uint32_t>(record.size());
    tk_log_message(1, "that.size=%d", static_cast<int>(n_fields));
    row_layout& layout = layout_for(record, false);
    if (cached_rec_size == 0) {
        cached_rec_size = n_fields;
    }
    if (layout.fast_head.empty()) {
        append_head(layout.fast_head, true);
        layout.fast_head += layout.column_list;
    }

    // The row's parenthesised values, built once in a reused buffer.
    std::string& values = row_values_;
    values.clear();
    values += '(';
    for (std::size_t k = 0; k < layout.field_of.size(); ++k) {
        if (k > 0) {
            values += ", ";
        }
        append_fld_str(values, *record[static_cast<std::size_t>(layout.field_of[k])],
                       *layout.column_of[k], false);
    }
    values += ')';

    const std::size_t p = pending_query.size();
    // A row of another layout cannot join the pending statement, whose column list may name
    // other columns or the same ones in another order, even with the same field count.
    const bool new_layout = pending_generation_ != layout.generation;
    // The estimate of the batch limit: the pending text, the separator, the head and the row
    // (without its closing parenthesis).
    if (p != 0 && (p + 2 + layout.fast_head.size() + values.size() - 1 >
                       static_cast<std::uint64_t>(get_max_buffer_size()) ||
                   cached_rec_size != n_fields || new_layout)) {
        if (cached_rec_size != n_fields) {
            tk_log_message(3, "cached_rec_size=%d, that.size=%d", static_cast<int>(cached_rec_size),
                           static_cast<int>(n_fields));
        }
        try {
            sql_db->query_append(pending_query);
        } catch (const tk_exception&) {
            pending_query.clear();
            throw;
        }
        pending_query.clear();
        cached_rec_size = n_fields;
        tk_log_message(2, "Initialize new query...");
        pending_query += layout.fast_head;
        pending_query += ")VALUES";
    } else if (p == 0) {
        tk_log_message(2, "Initialize new query...");
        pending_query += layout.fast_head;
        pending_query += ") VALUES";
    } else {
        pending_query += ", ";
    }
    pending_generation_ = layout.generation;
    tk_log_message(1, "*** FAST INSERT MODE ***");
    pending_query += values;
}

// ---- Update and delete --------------------------------------------------------------------------

void sql_table::update1(const udb_record& record) {
    tk_log_message(1, "sql_table::update");
    const std::unique_ptr<udb_validator> validator(engine().create_fn_validator(record));
    if (key_idx < 0) {
        tk_log_message(1, "There's no primary/unique key");
        throw tk_exception("There's no primary/unique key", 0);
    }
    if (static_cast<std::size_t>(key_idx) >= indexes.size()) {
        throw tk_mail_assertion("sql_tab", 692);
    }
    const udb_index& key = indexes[static_cast<std::size_t>(key_idx)];
    std::string set_list;
    std::string where_list;
    std::string first_key;
    for (const auto& field : record) {
        std::wstring mapped;
        if (!column_of_field(*validator, schema, field.get(), mapped)) {
            continue;
        }
        bool in_key = false;
        for (const std::wstring& column : key.columns) {
            if (column == mapped) {
                in_key = true;
                break;
            }
        }
        if (in_key) {
            tk_log_wmessage(1, L"Field %ls is a part of UKey", mapped.c_str());
            if (!where_list.empty()) {
                where_list += " AND ";
            }
            const std::string quoted = safe_name_utf8(mapped);
            if (first_key.empty()) {
                first_key = quoted;
            }
            // <=> so that a NULL key value matches its row.
            where_list += quoted + "<=>";
            append_mysql_str(where_list, *field);
            continue;
        }
        tk_log_wmessage(1, L"Field %ls is NOT a part of UKey", mapped.c_str());
        if (is_lob_field(*field)) {
            tk_log_wmessage(2, L"Field %ls is LOB, skip it", mapped.c_str());
            continue;
        }
        append_assignment(set_list, mapped, *field);
    }
    if (where_list.empty()) {
        tk_log_message(1, "Missing primary/unique key");
        throw tk_exception("Missing primary/unique key", 0);
    }
    if (set_list.empty()) {
        // Nothing to change: the statement still tells whether the row exists.
        set_list = first_key + "=" + first_key;
    }
    const std::string statement =
        "UPDATE " + safe_name_utf8(name) + " SET " + set_list + " WHERE " + where_list;
    tk_log_message(2, "UPDATE QUERY: %s", statement.c_str());
    run_update(*sql_db, statement, name, "ERROR on UPDATE0: %s");
}

void sql_table::update2(const udb_record& record, const std::wstring& key) {
    tk_log_wmessage(1, L"sql_table::update(key=%ls)", key.c_str());
    if (key.empty()) {
        tk_log_message(1, "Missing key for update");
        throw tk_exception("Missing key for update", 0);
    }
    const std::unique_ptr<udb_validator> validator(engine().create_fn_validator(record));
    std::string set_list;
    for (const auto& field : record) {
        std::wstring mapped;
        if (!column_of_field(*validator, schema, field.get(), mapped)) {
            continue;
        }
        if (is_lob_field(*field)) {
            tk_log_wmessage(2, L"Field %ls is LOB, skip it", mapped.c_str());
            continue;
        }
        append_assignment(set_list, mapped, *field);
    }
    if (set_list.empty() && !schema.empty()) {
        const std::string first = safe_name_utf8(schema.front()->name);
        set_list = first + "=" + first;
    }
    std::string statement = "UPDATE " + safe_name_utf8(name) + " SET " + set_list + " WHERE ";
    try {
        sql_sync sync(sql_db);
        statement += tk_to_utf8(sync.get_filter_subquery(name, key, &schema));
    } catch (const std::exception& e) {
        tk_log_message(3, "ERROR on UPDATE: %s", e.what());
        throw;
    }
    tk_log_message(2, "UPDATE QUERY: %s", statement.c_str());
    run_update(*sql_db, statement, name, "ERROR on UPDATE: %s");
}

void sql_table::delete_key(const udb_record& record) {
    tk_log_message(1, "sql_table::delete_key");
    std::string statement = "DELETE FROM " + safe_name_utf8(name) + " WHERE ";
    const std::unique_ptr<udb_validator> validator(engine().create_fn_validator(record));
    bool first = true;
    for (const auto& field : record) {
        std::wstring mapped;
        if (!column_of_field(*validator, schema, field.get(), mapped)) {
            continue;
        }
        if (!first) {
            statement += " AND ";
        }
        first = false;
        statement += safe_name_utf8(mapped) + "<=>";
        append_mysql_str(statement, *field);
    }
    if (first) {
        // Without a condition the statement would name no row.
        tk_log_message(2, "ERROR on DELETE: %s", "no field of the record is a column");
        return;
    }
    try {
        sql_db->query_append(statement);
    } catch (const std::exception& e) {
        tk_log_message(2, "ERROR on DELETE: %s", e.what());
    } catch (...) {
    }
}

void sql_table::delete_key(const std::wstring& key) {
    tk_log_wmessage(2, L"sql_table::delete_key(%ls)", key.c_str());
    if (key.empty()) {
        return;
    }
    try {
        sql_sync sync(sql_db);
        const std::string statement = "delete from " + safe_name_utf8(name) + " where " +
                                      tk_to_utf8(sync.get_filter_subquery(name, key, &schema));
        sql_db->query_append(statement);
    } catch (const std::exception& e) {
        tk_log_message(2, "ERROR on DELETE: %s", e.what());
    } catch (...) {
        tk_log_message(3, "Unknown exception");
    }
}

// ---- Key text -----------------------------------------------------------------------------------

sql_sync::sql_sync(sql_database* db) : db(db) {
    tk_log_message(2, "sql_sync::ctor");
}

std::wstring sql_sync::get_filter_subquery(const std::wstring& table, const std::wstring& key,
                                           const udb_schema* schema) {
    tk_log_wmessage(1, L"sql_sync::get_filter_subquery(%ls,%ls)", table.c_str(), key.c_str());
    std::unique_ptr<udb_recordset> opened;
    if (schema == nullptr) {
        opened = db->get_table(table, 1);
        schema = &opened->schema;
    }
    std::wstring result;
    std::wstring tag;
    std::wstring value;
    int opens = 0;
    bool inside = false;
    for (std::size_t pos = 0; pos < key.size(); ++pos) {
        const wchar_t c = key[pos];
        if (c == L'<') {
            tk_log_message(1, "Open XML-tag at pos=%d", static_cast<int>(pos));
            if (++opens == 2) {
                bool bare = false;
                if (schema->find_field(tag)) {
                    switch (schema->get_field2(tag).type) {
                    case 2:
                    case 3:
                    case 4:
                    case 5:
                    case 6:
                    case 11:
                    case 14:
                    case 16:
                    case 17:
                    case 18:
                    case 19:
                    case 20:
                    case 21:
                    case 65:
                    case 70:
                    case 8209:
                        bare = true;
                        break;
                    default:
                        break;
                    }
                }
                tk_wstring::replace_all(value, L"&lt;", L"<");
                tk_wstring::replace_all(value, L"&gt;", L">");
                tk_wstring::replace_all(value, L"&amp;", L"&");
                const std::string utf8 = tk_to_utf8(value);
                const bool hex =
                    utf8.size() > 2 && (utf8[0] == '0') && (utf8[1] == 'x' || utf8[1] == 'X') &&
                    utf8.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
                if (bare && (sql_is_number_text(utf8) || hex)) {
                    tk_log_message(1, "No quotes for numeric or binary");
                    result += L"<=>" + value;
                } else {
                    // Any other value is a quoted, escaped text.
                    std::string quoted = "'";
                    append_escaped(quoted, utf8);
                    quoted += "' ";
                    result += L"<=>" + tk_utf8_to_wstring(quoted);
                }
                tag.clear();
                value.clear();
                opens = 0;
            }
        } else if (c == L'>') {
            tk_log_message(1, "Close XML-tag at pos=%d", static_cast<int>(pos));
            if (!inside) {
                if (!result.empty()) {
                    result += L" and ";
                }
                result += sql_quote_identifier(tag);
            }
            inside = !inside;
        } else if (opens == 1) {
            (inside ? value : tag) += c;
        }
    }
    return result;
}
