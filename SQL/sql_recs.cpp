// Readers of MySQL data: tables and query results, and the results of single statements.
#include "SQL/sql_recs.h"

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_rec.h"
#include "SQL/sql_util.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <algorithm>
#include <exception>

namespace {

// The number MySQL and MariaDB give the binary character set (that of BINARY, VARBINARY, BLOB).
constexpr unsigned binary_charset_number = 63;

std::wstring field_name(const MYSQL_FIELD& field) {
    return tk_utf16_to_wstring(tk_utf8_to_utf16(std::string_view(field.name, field.name_length)));
}

int32_t subtype_of(const MYSQL_FIELD& field) {
    switch (field.type) {
    case MYSQL_TYPE_DATETIME:
        return 1;
    case MYSQL_TYPE_DATE:
        return 2;
    case MYSQL_TYPE_TIME:
        return 3;
    case MYSQL_TYPE_GEOMETRY:
        return 2;
    case MYSQL_TYPE_LONGLONG:
        return (field.flags & UNSIGNED_FLAG) != 0 ? 2 : 1;
    case MYSQL_TYPE_INT24:
        return udb_subtype_medium;
    case MYSQL_TYPE_YEAR:
        return udb_subtype_year;
    default:
        return 0;
    }
}

const sql_engine& engine() {
    return tk_singleton<sql_engine>::ref();
}

// The table's name as a statement writes it: backquoted from 4.1.0, bare below.
std::wstring table_text(const std::wstring& name) {
    return engine().version > 0x400FF ? sql_quote_identifier(name) : name;
}

} // namespace

// ---- sql_recordset ------------------------------------------------------------------------------

sql_recordset::sql_recordset(sql_database* db, const std::wstring& name,
                             udb_relationships* relationships)
    : udb_recordset(db, name, true), sql_db(db), relationships(relationships) {
    tk_log_message(2, "sql_recordset::sql_recordset1");
    initialize();
}

sql_recordset::sql_recordset(sql_database* db, const std::wstring& name, const std::wstring& select,
                             udb_relationships* relationships)
    : udb_recordset(db, name, select, true), sql_db(db), relationships(relationships) {
    tk_log_message(2, "sql_recordset::sql_recordset2");
    initialize();
}

sql_recordset::~sql_recordset() {
    tk_log_message(1, "sql_recordset::dtor");
    clean();
    lim_query.reset();
}

void sql_recordset::append_record(const udb_record&) {
    tk_log_message(1, "sql_recordset::append_record");
    throw tk_mail_assertion("sql_recs", 257);
}

udb_record* sql_recordset::get_item() {
    return rows[win_idx].get();
}

bool sql_recordset::is_eof() {
    // A row count that no longer matches the table (rows deleted meanwhile) ends the reading at
    // the first empty slot rather than handing out no record.
    return pos >= rec_count || rows[win_idx] == nullptr;
}

void sql_recordset::next() {
    tk_log_message(1, "sql_recordset::next");
    if (!lim_query) {
        throw tk_mail_assertion("sql_recs", 292);
    }
    if (win_idx < 255) {
        ++win_idx;
    } else {
        clean();
        lim_query->store_to(&rows, is_query() ? nullptr : &schema);
        win_idx = 0;
    }
    ++pos;
}

void sql_recordset::prev() {
    prev_position();
}

std::uint32_t sql_recordset::prev_position() {
    tk_log_message(1, "sql_recordset::prev");
    if (pos == 0) {
        return 0;
    }
    if (win_idx > 0) {
        --win_idx;
    }
    --pos;
    return pos;
}

void sql_recordset::reset() {
    tk_log_message(2, "sql_recordset::reset");
    // The connection carries one streamed result at a time: the old one goes before the count.
    clean();
    lim_query.reset();
    pos = 0;
    win_idx = 0;
    const std::int64_t count = get_rec_count();
    rec_count = count < 0 ? 0 : static_cast<std::uint64_t>(count);
    lim_query = std::make_unique<sql_limited_query>(*sql_db, is_query() ? query : name, L"", 256,
                                                    is_query());
    lim_query->store_to(&rows, is_query() ? nullptr : &schema);
}

void sql_recordset::clean() {
    tk_log_message(2, "sql_recordset::clean");
    for (auto& row : rows) {
        row.reset();
    }
}

std::int64_t sql_recordset::get_rec_count() {
    tk_log_message(2, "sql_recordset::get_rec_count");
    std::wstring statement;
    if (is_query()) {
        statement = L"SELECT COUNT(*) FROM (" + query + L") as query";
    } else {
        tk_log_message(1, "is_old_version(%08X)", engine().version);
        statement = L"SELECT COUNT(*) FROM " + table_text(name);
    }
    // A 64-bit count: a table of more than 2^31 rows must not read as empty.
    std::int64_t count = 0;
    {
        std::unique_ptr<udb_recordset> result = sql_db->query(statement);
        udb_record* record = result ? result->get_item() : nullptr;
        if (record != nullptr && !record->empty() && (*record)[0]) {
            try {
                count = (*record)[0]->to_i8();
            } catch (const ole_cast_exception&) {
                count = -1;
            }
        }
    }
    tk_log_message(2, "sql_recordset::get_rec_count - END (result=%lld)",
                   static_cast<long long>(count));
    return count;
}

void sql_recordset::initialize() {
    tk_log_message(2, "sql_recordset::initialize");
    tk_log_message(2, "is_blob_to_text=%d", engine().blob_to_text ? 1 : 0);
    const std::int64_t count = get_rec_count();
    rec_count = count < 0 ? 0 : static_cast<std::uint64_t>(count);
    tk_log_message(2, "get_rec_count returns %lld", static_cast<long long>(count));

    const bool as_query = is_query();
    std::wstring select_list = L"SELECT ";
    std::wstring auto_column;
    bool has_geometry = false;
    {
        // Only the structure and the first window are wanted here: the limit keeps releasing
        // the result from reading the rest of a large table.
        sql_limited_query first(*sql_db, as_query ? query : name, L"", 256, as_query, 256);
        MYSQL_RES* result = first.result();
        const unsigned n_fields = result != nullptr ? mysql_num_fields(result) : 0;
        const MYSQL_FIELD* fields = result != nullptr ? mysql_fetch_fields(result) : nullptr;
        for (unsigned i = 0; i < n_fields; ++i) {
            const MYSQL_FIELD& field = fields[i];
            tk_log_message(2, "Processing field #%u", i + 1);
            if (i > 0) {
                select_list += L",";
            }
            const std::wstring fname = field_name(field);
            const std::wstring quoted = sql_quote_identifier(fname);
            if (field.type == MYSQL_TYPE_GEOMETRY) {
                tk_log_message(2, "Got MYSQL_TYPE_GEOMETRY");
                select_list += L"ST_AsText(" + quoted + L") as ";
                has_geometry = true;
            }
            select_list += quoted;
            tk_log_wmessage(2, L"GOT FIELD: name=%ls, type=%d, size=%lu, flags=%u", fname.c_str(),
                            static_cast<int>(field.type), field.length, field.flags);
            VARTYPE vt = get_vartype(static_cast<int>(field.type), field.flags);
            // BINARY(n) comes as a fixed-length string: its character set, not its flags (a
            // binary collation sets them too), says that it holds bytes. Taken for text, a byte
            // value went into it as the characters "0x...".
            const bool fixed_bytes =
                field.type == MYSQL_TYPE_STRING && field.charsetnr == binary_charset_number;
            if (fixed_bytes) {
                vt = ole_variant::vt_byte_array;
            }
            auto column = std::make_shared<t_ftd>(static_cast<std::int32_t>(field.length), fname,
                                                  vt, (field.flags & NOT_NULL_FLAG) != 0,
                                                  (field.flags & AUTO_INCREMENT_FLAG) != 0,
                                                  ole_variant(), subtype_of(field), L"");
            if (fixed_bytes) {
                column->dw_reserved = udb_subtype_fixed_bytes;
            }
            if ((field.flags & AUTO_INCREMENT_FLAG) != 0) {
                tk_log_wmessage(1, L"Got auto_number column: '%ls'", fname.c_str());
                auto_column = fname;
            }
            if ((vt == VT_BLOB || vt == ole_variant::vt_byte_array) &&
                (engine().blob_to_text || (field.flags & BINARY_FLAG) == 0)) {
                tk_log_message(2, "Change type from BLOB to TEXT");
                column->type = VT_BSTR;
            } else if (field.type == MYSQL_TYPE_DECIMAL || field.type == MYSQL_TYPE_NEWDECIMAL) {
                tk_log_message(1, "Scale/precision: (%u,%lu)", field.decimals, field.length);
                column->scale = static_cast<std::int32_t>(field.decimals);
                // The length counts the point and, unless the column is unsigned, the sign.
                column->prec = static_cast<std::int32_t>(field.length) -
                               ((field.flags & UNSIGNED_FLAG) != 0 ? 0 : 1) -
                               (field.decimals != 0 ? 1 : 0);
                if ((field.flags & UNSIGNED_FLAG) != 0) {
                    column->dw_reserved = udb_subtype_unsigned;
                }
            } else if (vt == VT_DATE) {
                // The fractional-second digits the column keeps; what a merge may write into it.
                column->scale = static_cast<std::int32_t>(std::min(field.decimals, 6u));
            } else if (field.type == MYSQL_TYPE_INT24 && (field.flags & UNSIGNED_FLAG) != 0) {
                column->type = VT_UI4;
            }
            schema.push_back(std::move(column));
        }
        first.store_to(&rows, &schema);
    }
    select_list += L" FROM " + table_text(name);
    tk_log_wmessage(2, L"local_select_qry=%ls", select_list.c_str());
    if (as_query) {
        tk_log_message(2, "It's a SQL-query, nothing to do anymore");
        tk_log_message(2, "sql_recordset::initialize - END");
        return;
    }
    if (!auto_column.empty()) {
        tk_log_wmessage(2, L"Refining auto_number '%ls' (last value)", auto_column.c_str());
        const std::wstring statement =
            L"select max( " + sql_quote_identifier(auto_column) + L") from " + table_text(name);
        tk_log_wmessage(2, L"auto_number query=%ls", statement.c_str());
        try {
            std::unique_ptr<udb_recordset> result = sql_db->query(statement);
            udb_record* record = result ? result->get_item() : nullptr;
            if (record != nullptr && !record->empty() && (*record)[0]) {
                schema.seed = (*record)[0]->to_long();
            }
            tk_log_message(2, "got last value=%d", schema.seed);
        } catch (const std::exception& e) {
            tk_log_message(3, "Failed to extract last value for auto_number column");
            tk_log_message(2, "ERROR: %s", e.what());
        }
    }
    if (has_geometry) {
        query = select_list;
    }
    tk_log_message(2, "sql_recordset::initialize - END");
}

// ---- sql_tmp_recordset --------------------------------------------------------------------------

sql_tmp_recordset::sql_tmp_recordset(MYSQL_RES* result, MYSQL* mysql)
    : udb_recordset(L""), result(result), mysql_(mysql) {
    tk_log_message(1, "sql_tmp_recordset::ctor1");
    n_fields = result != nullptr ? mysql_num_fields(result) : 0;
    tk_log_message(1, "n_fields=%u", n_fields);
    fields = result != nullptr ? mysql_fetch_fields(result) : nullptr;
    try {
        initialize();
    } catch (...) {
        // The destructor does not run for an object that was never made: the result is freed
        // here, whether the server failed on the first rows or a cell could not be read.
        if (this->result != nullptr) {
            mysql_free_result(this->result);
            this->result = nullptr;
        }
        throw;
    }
}

sql_tmp_recordset::sql_tmp_recordset(MYSQL* mysql, const std::string& statement)
    : udb_recordset(L""), mysql_(mysql) {
    tk_log_message(1, "sql_tmp_recordset::ctor2(%s)", statement.c_str());
    if (mysql_real_query(mysql, statement.data(), static_cast<unsigned long>(statement.size())) !=
        0) {
        throw sql_exception();
    }
    result = mysql_use_result(mysql);
    if (result == nullptr && mysql_errno(mysql) != 0) {
        throw sql_exception();
    }
    n_fields = result != nullptr ? mysql_num_fields(result) : 0;
    fields = result != nullptr ? mysql_fetch_fields(result) : nullptr;
    tk_log_message(1, "n_fields=%u", n_fields);
}

sql_tmp_recordset::~sql_tmp_recordset() {
    tk_log_message(1, "sql_tmp_recordset::dtor");
    clean_cache();
    if (result != nullptr) {
        mysql_free_result(result);
    }
    tk_log_message(1, "sql_tmp_recordset::dtor - at the end");
}

void sql_tmp_recordset::append_record(const udb_record&) {
    throw tk_mail_assertion("sql_recs", 402);
}

udb_record* sql_tmp_recordset::get_item() {
    return pos < records.size() ? records[pos].get() : nullptr;
}

bool sql_tmp_recordset::is_eof() {
    tk_log_message(1, "sql_tmp_recordset::is_eof: pos=%zu, records.size=%zu", pos, records.size());
    if (pos < records.size()) {
        return false;
    }
    tk_log_message(1, "sql_tmp_recordset::clean_cache");
    clean_cache();
    fill_cache();
    pos = 0;
    tk_log_message(1, "New records.size=%zu", records.size());
    return records.empty();
}

void sql_tmp_recordset::next() {
    ++pos;
}

void sql_tmp_recordset::reset() {
    pos = 0;
}

void sql_tmp_recordset::initialize() {
    tk_log_message(1, "sql_tmp_recordset::initialize");
    if (result == nullptr) {
        throw tk_mail_assertion("sql_recs", 409);
    }
    fill_cache();
    tk_log_message(1, "sql_tmp_recordset::initialize - END");
}

void sql_tmp_recordset::fill_cache() {
    tk_log_message(1, "sql_tmp_recordset::fill_cache");
    if (result == nullptr) {
        return;
    }
    while (records.size() < 1000) {
        MYSQL_ROW row = mysql_fetch_row(result);
        if (row == nullptr) {
            // The end of the rows, or a broken connection, which must not pass for the end.
            if (mysql_ != nullptr && mysql_errno(mysql_) != 0) {
                throw sql_exception();
            }
            break;
        }
        const unsigned long* lengths = mysql_fetch_lengths(result);
        records.push_back(std::make_unique<sql_record>(n_fields, fields, lengths, row));
    }
    tk_log_message(1, "records.size()=%zu", records.size());
    tk_log_message(1, "sql_tmp_recordset::fill_cache - END");
}

void sql_tmp_recordset::clean_cache() {
    tk_log_message(1, "sql_tmp_recordset::clean_cache");
    records.clear();
}

sql_list_tables_rs::sql_list_tables_rs(MYSQL* mysql, const std::string& statement)
    : sql_tmp_recordset(mysql, statement) {
    tk_log_message(2, "sql_list_tables_rs::ctor");
}

sql_list_tables_rs::~sql_list_tables_rs() = default;
