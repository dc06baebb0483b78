// The column and index clauses of a MySQL CREATE TABLE statement.
#include "SQL/sql_init.h"

#include "SQL/sql_engi.h"
#include "SQL/sql_util.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_db.h"
#include "UDB/udb_rule.h"
#include "UDB/udb_services.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"

#include <algorithm>

namespace {

sql_engine& engine() {
    return tk_singleton<sql_engine>::ref();
}

// Whether `column` belongs to the primary key or a unique index of `indexes`.
bool is_key_column(const udb_indexes& indexes, const std::wstring& column) {
    for (const udb_index& index : indexes) {
        if (!index.b_primary && !index.b_unique) {
            continue;
        }
        for (const std::wstring& name : index.columns) {
            if (udb_equal_no_case(name, column)) {
                return true;
            }
        }
    }
    return false;
}

// Whether the vartype may carry AUTO_INCREMENT (the whole-number codes).
bool can_have_auto_num(VARTYPE vt) {
    return vt <= 23 && ((0xFF080Cu >> vt) & 1u) != 0;
}

std::wstring cut_comment(const std::wstring& comment, std::size_t limit) {
    return comment.size() > limit ? comment.substr(0, limit) : comment;
}

bool equal_ascii_no_case(const std::wstring& a, const wchar_t* b) {
    return udb_equal_no_case(a, b);
}

// The destination type of a column: a custom rule's, the user's mapped type, else the type
// mapping's.
std::wstring sql_column_type_text(const t_ftd& column) {
    if (udb_custom_conversion::is_acceptable1(column)) {
        return udb_custom_conversion::handle1(column);
    }
    if (!column.native_type.empty()) {
        return column.native_type;
    }
    return get_sql_native_type2(column, false);
}

} // namespace

bool sql_takes_charset(const t_ftd& column) {
    // Only text types take a character set; geometry and binary types refuse one. LONG is
    // MEDIUMTEXT. The national forms are utf8mb3 on every server, and a character-set clause
    // after them is a syntax error.
    if (column.native_type.empty()) {
        return column.type == VT_BSTR && sql_is_text_type(sql_column_type_text(column));
    }
    const std::wstring& type = column.native_type;
    const bool national = type.rfind(L"NATIONAL ", 0) == 0 || type.rfind(L"NCHAR", 0) == 0 ||
                          type.rfind(L"NVARCHAR", 0) == 0;
    return !national && (type.find(L"CHAR") != std::wstring::npos ||
                         type.find(L"TEXT") != std::wstring::npos || type == L"LONG");
}

// ---- Column clauses -----------------------------------------------------------------------------

sql_schema_initializer::sql_schema_initializer(const std::wstring& table, const udb_schema& source,
                                               const udb_indexes& indexes, std::wstring& auto_name,
                                               bool)
    : table(table), auto_name(auto_name), indexes(indexes), source(source) {
    validator.reset(engine().create_fn_validator(source));
    for (const auto& column : source) {
        if (!column) {
            continue;
        }
        const std::wstring& source_name = column->name;
        const bool acceptable = validator->is_acceptable(source_name);
        const std::wstring dest = acceptable ? source_name : validator->get_safe_name(source_name);
        auto copy = std::make_shared<t_ftd>(*column);
        copy->name = dest;
        tk_log_wmessage(2, L"GOT FIELD: name=%ls, type=%d, size=%d, flags=%d, description=%ls",
                        dest.c_str(), copy->type, copy->size, copy->dw_reserved,
                        copy->comment.c_str());
        columns.push_back(std::move(copy), !is_key_column(indexes, source_name));
        source_names.push_back(source_name);
        if (!acceptable) {
            tk_log_wmessage(2, L"Store generated column name '%ls'", dest.c_str());
            validator->add_existing_name(dest);
            validator->add_mapped_pair(source_name, dest);
        }
        // A later column of the same name in another letter case gets a name of its own.
        validator->restricted_words.push_back(dest);
    }
}

sql_schema_initializer::~sql_schema_initializer() = default;

void sql_schema_initializer::note_left_out_default(const t_ftd& column,
                                                   bool needs_expression_default) {
    if (column.default_value.get_type() <= VT_NULL) {
        return;
    }
    std::wstring text = column.default_value.to_wstring();
    if (text.empty() || udb_equal_no_case(text, L"NULL")) {
        return;
    }
    left_out_defaults.push_back({column.name, std::move(text), needs_expression_default});
}

void sql_schema_initializer::get_init_chunks(std::vector<std::wstring>& out, udb_properties*) {
    const sql_engine& e = engine();
    auto_name.clear();
    left_out_defaults.clear();
    written_defaults.clear();
    written_types.clear();
    tk_log_message(2, "sql_schema_initializer::get_init_chunks(n_columns=%zu)", columns.size());
    const bool new_server = e.version >= 0x40100;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const t_ftd& column = *columns[i];
        const std::wstring& source_name = source_names[i];
        std::wstring clause = new_server ? sql_quote_identifier(column.name) : column.name;
        clause += L" ";

        const std::wstring type = sql_column_type_text(column);
        clause += type;
        written_types.push_back(type);

        if (new_server) {
            if (sql_takes_charset(column)) {
                clause += L" CHARACTER SET " + sql_bare_word(e.effective_charset(e.charset));
            }
        }

        if (column.b_not_null || column.b_auto_num || indexes.is_idx_field(source_name, true) ||
            (e.version < 0x31702 && indexes.is_idx_field(source_name, false))) {
            clause += L" NOT NULL";
        }

        const auto size = static_cast<std::uint32_t>(column.size);
        written_defaults.emplace_back();
        if (column.b_auto_num) {
            tk_log_message(2, "WARNING: auto_increment columns cannot have default value!");
        } else if (column.type != VT_BLOB && column.type != VT_BLOB_OBJECT &&
                   !(column.type == VT_BSTR && (size == 0 || size > 21845))) {
            const std::wstring def = make_mysql_def_val(&column);
            if (def.empty()) {
                note_left_out_default(column, !sql_expression_default(column).empty());
            } else if (!sql_is_lob_type(type)) {
                clause += L" DEFAULT " + def;
                written_defaults.back() = def;
            } else if (e.accepts_expression_defaults()) {
                // TEXT, BLOB and geometry columns take a default only as an expression.
                clause += L" DEFAULT (" + def + L")";
            } else {
                tk_log_wmessage(3,
                                L"Default value of column '%ls' left out: the server takes "
                                L"no default on a %ls column",
                                column.name.c_str(), type.c_str());
                note_left_out_default(column, false);
            }
        } else {
            // Long text and binary columns take no default here.
            note_left_out_default(column, false);
        }

        if (column.b_auto_num && can_have_auto_num(column.type)) {
            if (!auto_name.empty()) {
                throw tk_mail_assertion("sql_init", 140);
            }
            auto_name = column.name;
            clause += L" AUTO_INCREMENT";
        }

        if (!column.comment.empty()) {
            // A value like any other, within the server's limit.
            clause += L" COMMENT " +
                      to_mysql_wstr(cut_comment(column.comment, e.max_comment_length()), VT_BSTR);
        }
        tk_log_wmessage(2, L"sql_query=%ls", clause.c_str());
        out.push_back(std::move(clause));
    }
}

// ---- Index clauses ------------------------------------------------------------------------------

sql_indexes_initializer::sql_indexes_initializer(const sql_schema& columns,
                                                 const udb_indexes& source,
                                                 const std::wstring& auto_name,
                                                 const t_names_map& mapping, bool,
                                                 const std::wstring& storage_engine)
    : auto_name(auto_name), columns(columns), mapping(mapping), storage_engine(storage_engine) {
    const std::unique_ptr<udb_validator> validator(engine().create_in_validator(source));
    for (const udb_index& index : source) {
        tk_log_wmessage(2, L"Processing '%ls'", index.name.c_str());
        std::wstring new_name = index.name;
        const bool acceptable = new_name.empty() || validator->is_acceptable(new_name);
        if (!acceptable) {
            new_name = validator->get_safe_name(new_name);
            tk_log_wmessage(2, L"new_name=%ls", new_name.c_str());
        }
        udb_index dest(new_name, index.b_unique, index.b_primary);
        dest.b_constraint = false;
        for (const std::wstring& column : index.columns) {
            std::wstring mapped = column;
            for (const auto& pair : mapping) {
                if (udb_equal_no_case(pair.first, column)) {
                    mapped = pair.second;
                    tk_log_wmessage(1, L"Got mapped name: %ls", mapped.c_str());
                    break;
                }
            }
            dest.columns.push_back(mapped);
        }
        indexes.push_back(dest);
        if (!acceptable) {
            tk_log_wmessage(2, L"Store generated index name '%ls'", new_name.c_str());
            validator->add_existing_name(new_name);
        }
        validator->restricted_words.push_back(new_name);
    }
}

sql_indexes_initializer::~sql_indexes_initializer() = default;

std::uint32_t sql_indexes_initializer::max_key_bytes(const std::wstring& storage_engine) {
    const sql_engine& e = engine();
    const std::wstring name = storage_engine.empty() ? e.storage_engine : storage_engine;
    if (equal_ascii_no_case(name, L"InnoDB")) {
        // Long index prefixes are the default from MySQL 5.7.7 and MariaDB 10.2.2.
        const bool large_prefix = e.is_mariadb() ? e.version >= 0x0A0202 : e.version >= 0x050707;
        return large_prefix ? 3072 : 767;
    }
    if (equal_ascii_no_case(name, L"Aria")) {
        return 2000;
    }
    if (equal_ascii_no_case(name, L"MEMORY") || equal_ascii_no_case(name, L"HEAP")) {
        return 3072;
    }
    // MyISAM, MERGE and engines not known here.
    return 1000;
}

namespace {

// One column of a key as the server stores it: a fixed width, a text or byte string that may be
// cut to a prefix, a long-object column that only a prefix (or a hash) can index, or a column no
// plain key can hold (geometry).
struct key_part {
    enum kind_t { fixed, string, lob, unindexable };
    std::wstring column; // destination name
    kind_t kind = fixed;
    std::uint32_t unit = 1;   // bytes per prefix unit: a character or a byte
    std::uint32_t length = 0; // units of the whole column (strings), bytes (fixed)
    std::uint32_t prefix = 0; // units kept when cut; 0: the whole column
    std::wstring type;        // the destination type, for messages

    std::uint32_t bytes() const { return kind == fixed ? length : length * unit; }
};

key_part plan_key_part(const t_ftd& column, std::uint32_t bytes_per_char) {
    key_part part;
    part.column = column.name;
    part.type = tk_ascii_upper_copy(sql_column_type_text(column));
    const std::wstring& type = part.type;
    const auto size = static_cast<std::uint32_t>(std::max(column.size, 0));
    const auto starts = [&](const wchar_t* word) { return type.rfind(word, 0) == 0; };
    const bool text = sql_is_text_type(type);
    if (sql_is_lob_type(type)) {
        const bool blob = type.find(L"BLOB") != std::wstring::npos;
        part.kind = text || blob ? key_part::lob : key_part::unindexable;
        part.unit = text ? bytes_per_char : 1;
    } else if (text || starts(L"VARBINARY") || starts(L"BINARY")) {
        part.kind = key_part::string;
        part.unit = text ? bytes_per_char : 1;
        part.length = size;
    } else {
        part.length = size;
    }
    return part;
}

// Cuts the string and long-object parts of a plain index to prefixes that keep the key within
// `limit` bytes: short columns stay whole, the rest share what is left alike. False when even
// the fixed parts, or a one-unit prefix of each string, do not fit.
bool fit_with_prefixes(std::vector<key_part>& parts, std::uint32_t limit) {
    std::uint64_t fixed_bytes = 0;
    std::vector<key_part*> cut;
    for (key_part& part : parts) {
        if (part.kind == key_part::fixed) {
            fixed_bytes += part.length;
        } else {
            cut.push_back(&part);
        }
    }
    if (fixed_bytes > limit) {
        return false;
    }
    // Whole columns first, from the shortest; long objects always take a prefix.
    std::stable_sort(cut.begin(), cut.end(), [](const key_part* a, const key_part* b) {
        const bool a_lob = a->kind == key_part::lob;
        const bool b_lob = b->kind == key_part::lob;
        return a_lob != b_lob ? b_lob : a->bytes() < b->bytes();
    });
    std::uint64_t left = limit - fixed_bytes;
    for (std::size_t i = 0; i < cut.size(); ++i) {
        key_part& part = *cut[i];
        const std::uint64_t share = left / (cut.size() - i);
        if (part.kind == key_part::string && part.bytes() <= share) {
            left -= part.bytes();
            continue;
        }
        part.prefix = static_cast<std::uint32_t>(share / part.unit);
        if (part.prefix == 0) {
            return false;
        }
        left -= std::uint64_t{part.prefix} * part.unit;
    }
    return true;
}

std::wstring key_column_list(const sql_engine& e, const std::vector<key_part>& parts) {
    std::wstring text;
    for (const key_part& part : parts) {
        if (!text.empty()) {
            text += L", ";
        }
        text += e.get_safe_name(part.column);
        if (part.prefix != 0) {
            text += L"(" + std::to_wstring(part.prefix) + L")";
        }
    }
    return text;
}

// Why a key over `parts` is too long for a plain key of `limit` bytes on `storage`.
std::wstring too_long_reason(const std::vector<key_part>& parts, std::uint64_t bytes,
                             std::uint32_t limit, const std::wstring& storage) {
    for (const key_part& part : parts) {
        if (part.kind == key_part::lob) {
            return L"its column '" + part.column + L"' is " + part.type +
                   L", which a key takes only as a prefix";
        }
        if (part.kind == key_part::unindexable) {
            return L"its column '" + part.column + L"' is " + part.type +
                   L", which no key of this kind takes";
        }
    }
    return L"its key takes " + std::to_wstring(bytes) + L" bytes, more than the " +
           std::to_wstring(limit) + L" bytes a key of storage engine " + storage + L" may take";
}

std::wstring key_label(const udb_index& index) {
    if (index.b_primary) {
        return L"The primary key" + (index.name.empty() ? L"" : L" '" + index.name + L"'");
    }
    return (index.b_unique ? L"The unique index '" : L"The index '") + index.name + L"'";
}

void note_unique_key(std::vector<sql_unique_key>& keys, const udb_index& index,
                     const std::vector<key_part>& parts) {
    sql_unique_key key;
    key.name = index.b_primary ? std::wstring(L"PRIMARY") : index.name;
    for (const key_part& part : parts) {
        key.columns.push_back(part.column);
    }
    keys.push_back(std::move(key));
}

} // namespace

bool sql_indexes_initializer::long_unique_by_hash(const std::wstring& storage) const {
    // MariaDB 10.4 enforces a unique key of any length through a hidden hash of its columns
    // (compared with the columns' collation), in InnoDB and MyISAM tables; MySQL has no such key.
    const sql_engine& e = engine();
    return e.is_mariadb() && e.version >= 0x0A0400 &&
           (equal_ascii_no_case(storage, L"InnoDB") || equal_ascii_no_case(storage, L"MyISAM"));
}

void sql_indexes_initializer::get_init_chunks(std::vector<std::wstring>& out) {
    const sql_engine& e = engine();
    left_out_keys.clear();
    unique_keys.clear();
    const bool old_server = e.version < 0x40100;
    const unsigned max_indexes = old_server ? 15 : 63;
    const std::wstring storage = storage_engine.empty() ? e.storage_engine : storage_engine;
    // Key length in bytes: characters times the character set's widest character.
    const std::uint32_t key_limit = old_server ? 256 : max_key_bytes(storage);
    const std::uint32_t bytes_per_char =
        old_server
            ? 1
            : static_cast<std::uint32_t>(sql_charset_max_bytes(e.effective_charset(e.charset)));
    bool auto_needs_index = !auto_name.empty();
    unsigned counter = 0;
    for (const udb_index& index : indexes) {
        if (index.columns.empty()) {
            tk_log_wmessage(3, L"Skip index '%ls' as it is built on empty fields list",
                            index.name.c_str());
            continue;
        }
        if (counter >= max_indexes) {
            left_out_keys.push_back(key_label(index) + L" was not created: a table takes at most " +
                                    std::to_wstring(max_indexes) + L" indexes here.");
            continue;
        }
        if (index.columns.size() > 16) {
            left_out_keys.push_back(key_label(index) + L" was not created: it has " +
                                    std::to_wstring(index.columns.size()) +
                                    L" columns, and a key takes at most 16.");
            continue;
        }
        std::vector<key_part> parts;
        bool complete = true;
        std::uint64_t key_bytes = 0;
        bool needs_prefix = false;
        for (const std::wstring& column : index.columns) {
            if (!columns.find_field(column)) {
                tk_log_wmessage(2, L"Index column '%ls' is not found", column.c_str());
                complete = false;
                break;
            }
            parts.push_back(plan_key_part(columns.get_field2(column), bytes_per_char));
            key_bytes += parts.back().bytes();
            needs_prefix = needs_prefix || parts.back().kind == key_part::lob ||
                           parts.back().kind == key_part::unindexable;
        }
        ++counter;
        if (!complete) {
            continue;
        }
        needs_prefix = needs_prefix || key_bytes > key_limit;
        const bool any_unindexable = std::any_of(parts.begin(), parts.end(), [](const key_part& p) {
            return p.kind == key_part::unindexable;
        });
        std::wstring text;
        if (!needs_prefix) {
            text = index.b_primary
                       ? std::wstring(L"PRIMARY KEY")
                       : (index.b_unique ? L"UNIQUE " : L"INDEX ") + e.get_safe_name(index.name);
            text += L" (" + key_column_list(e, parts) + L")";
        } else if (!index.b_unique && !index.b_primary) {
            // A prefix narrows what the index looks at, not what it means: lookups still
            // compare whole values.
            if (any_unindexable || !fit_with_prefixes(parts, key_limit)) {
                left_out_keys.push_back(key_label(index) + L" was not created: " +
                                        too_long_reason(parts, key_bytes, key_limit, storage) +
                                        L".");
                continue;
            }
            text =
                L"INDEX " + e.get_safe_name(index.name) + L" (" + key_column_list(e, parts) + L")";
        } else {
            // A prefix would refuse rows that differ only after it: a unique key is whole or
            // enforced by a hash, or reported.
            const std::wstring reason = too_long_reason(parts, key_bytes, key_limit, storage);
            const std::wstring name =
                index.name.empty() || equal_ascii_no_case(index.name, L"PRIMARY")
                    ? parts.front().column
                    : index.name;
            const std::wstring hashed = L"UNIQUE " + e.get_safe_name(name) + L" (" +
                                        key_column_list(e, parts) + L") USING HASH";
            // MariaDB refuses the whole table when a hash covers the AUTO_INCREMENT column.
            const auto auto_part = std::find_if(parts.begin(), parts.end(), [&](const key_part& p) {
                return !auto_name.empty() && udb_equal_no_case(p.column, auto_name);
            });
            const bool hashable = !any_unindexable && auto_part == parts.end();
            const bool hash = hashable && long_unique_by_hash(storage);
            const bool script_hash = hashable && !hash && mariadb_hash_comment &&
                                     (equal_ascii_no_case(storage, L"InnoDB") ||
                                      equal_ascii_no_case(storage, L"MyISAM"));
            std::wstring message = key_label(index) + L" was not created: " + reason + L".";
            if (hash) {
                if (!index.b_primary) {
                    out.push_back(hashed);
                    note_unique_key(unique_keys, index, parts);
                    continue;
                }
                text = hashed;
                message += L" A unique index over its columns (a hash) refuses duplicates in "
                           L"its place.";
            } else if (script_hash) {
                text = L"/*M!100400 " + hashed + L" */";
                message = key_label(index) +
                          L" is written for MariaDB 10.4 and later only (as "
                          L"a unique hash): " +
                          reason + L". Replayed on another server the key is missing.";
            } else if (auto_part != parts.end()) {
                message += L" No key over the AUTO_INCREMENT column '" + auto_part->column +
                           L"' may be a hash.";
            } else {
                message += L" Only MariaDB 10.4 and later enforce such a key (as a hash).";
            }
            left_out_keys.push_back(message);
            if (text.empty()) {
                continue;
            }
        }
        out.push_back(text);
        if (index.b_primary || index.b_unique) {
            note_unique_key(unique_keys, index, parts);
        }
        // The AUTO_INCREMENT column needs an index that starts with it.
        if (!auto_name.empty() && udb_equal_no_case(parts.front().column, auto_name) &&
            text.rfind(L"/*", 0) != 0) {
            auto_needs_index = false;
        }
        tk_log_wmessage(2, L"sql_query=%ls", text.c_str());
    }
    if (!auto_needs_index) {
        return;
    }
    tk_log_message(2, "Creating index for auto-field");
    const std::unique_ptr<udb_validator> validator(e.create_in_validator(indexes));
    const std::wstring index_name =
        validator->is_acceptable(auto_name) && !validator->is_duplicated(auto_name)
            ? auto_name
            : validator->get_safe_name(auto_name);
    out.push_back(L"INDEX " + e.get_safe_name(index_name) + L" (" + e.get_safe_name(auto_name) +
                  L")");
}

void sql_report_table_error(const std::wstring& table, const std::string& text) {
    tk_log_message(3, "Table '%s': %s", tk_to_utf8(table).c_str(), text.c_str());
    if (udb_error_handler* handler = tk_singleton<udb_error_handler>::pointer()) {
        handler->context = "Table '" + tk_to_utf8(table) + "'";
        handler->handle(tk_exception(text, 0), false);
    }
}

void sql_report_left_out_keys(const std::wstring& table, const std::vector<std::wstring>& keys) {
    for (const std::wstring& text : keys) {
        sql_report_table_error(table, tk_to_utf8(text));
    }
}

// ---- The whole statement ------------------------------------------------------------------------

// A lost default changes what later INSERTs store, and the trace is off by default: each one is
// an error the user sees. The table is still created.
void sql_report_left_out_defaults(const std::wstring& table,
                                  const std::vector<sql_schema_initializer::left_out_default>& lost,
                                  bool expression_ones) {
    for (const auto& item : lost) {
        if (item.needs_expression_default && !expression_ones) {
            continue;
        }
        const std::wstring text =
            L"The default value '" + item.source_default + L"' of column '" + item.column +
            (item.needs_expression_default
                 ? L"' is left out: the server takes no expression default (MySQL 8.0.13 or "
                   L"MariaDB 10.2.1 needed)"
                 : L"' is left out: MySQL has no form of it for this column");
        sql_report_table_error(table, tk_to_utf8(text));
    }
}

std::wstring sql_create_table_statement(const std::wstring& table, const udb_schema& schema,
                                        const udb_indexes& indexes, t_names_map& field_names) {
    sql_engine& e = engine();
    udb_properties* table_properties =
        e.properties != nullptr ? e.properties->find_by_new_name(table) : nullptr;

    // The table's storage engine also decides how long an index key may be.
    std::wstring storage =
        table_properties != nullptr ? table_properties->get_properties()[L"engine"] : L"";
    if (storage.empty()) {
        storage = e.version < 0x31723 ? std::wstring(L"MyISAM") : e.storage_engine;
    }

    std::wstring statement = L"CREATE TABLE " + e.get_safe_name(table) + L" (";
    std::wstring auto_name;
    sql_schema_initializer columns(table, schema, indexes, auto_name, false);
    std::vector<std::wstring> chunks;
    columns.get_init_chunks(chunks, table_properties);
    sql_report_left_out_defaults(table, columns.left_out_defaults);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) {
            statement += L", ";
        }
        statement += chunks[i];
    }
    if (!indexes.empty() || !auto_name.empty()) {
        sql_indexes_initializer index_clauses(columns.columns, indexes, auto_name,
                                              columns.validator->mapped_pairs, false, storage);
        std::vector<std::wstring> index_chunks;
        index_clauses.get_init_chunks(index_chunks);
        sql_report_left_out_keys(table, index_clauses.left_out_keys);
        for (const std::wstring& chunk : index_chunks) {
            statement += L", " + chunk;
        }
    }
    statement += L")";
    const std::wstring charset =
        table_properties != nullptr ? table_properties->get_properties()[L"character set"] : L"";
    if (!charset.empty()) {
        statement += L" character set " + sql_bare_word(e.effective_charset(charset));
    }
    statement += e.version > 0x40016 ? L" ENGINE=" : L" TYPE=";
    statement += sql_bare_word(storage);
    field_names = columns.validator->mapped_pairs;
    return statement;
}
