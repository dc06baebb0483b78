// A streamed SELECT over a table or a query, handed out in windows of records.
#include "SQL/sql_limq.h"

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_rec.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_schema.h"

sql_limited_query::sql_limited_query(sql_database& db, const std::wstring& text,
                                     const std::wstring& filter, int window, bool is_query,
                                     std::uint64_t row_limit)
    : mysql_(db.mysql) {
    (void)filter;
    (void)window;
    tk_log_wmessage(1, L"sql_limited_query::sql_limited_query(%ls)", text.c_str());
    std::wstring statement = L"SELECT * FROM ";
    if (is_query) {
        tk_log_message(1, "...as query");
        statement += L"(" + text + L") as temp___table";
    } else {
        tk_log_message(1, "...as table");
        const sql_engine& engine = tk_singleton<sql_engine>::ref();
        statement += engine.version > 0x400FF ? sql_quote_identifier(text) : text;
    }
    if (row_limit > 0) {
        statement += L" LIMIT " + std::to_wstring(row_limit);
    }
    tk_log_wmessage(1, L"sql_database::do_query2(%ls)", statement.c_str());
    const std::string utf8 = tk_to_utf8(statement);
    if (mysql_real_query(mysql_, utf8.data(), static_cast<unsigned long>(utf8.size())) != 0) {
        throw sql_exception();
    }
    result_ = mysql_use_result(mysql_);
    if (result_ == nullptr && mysql_errno(mysql_) != 0) {
        throw sql_exception();
    }
    tk_log_message(1, "sql_limited_query - at the end");
}

sql_limited_query::~sql_limited_query() {
    tk_log_message(2, "sql_limited_query::~sql_limited_query");
    if (result_ != nullptr) {
        mysql_free_result(result_);
        result_ = nullptr;
    }
}

unsigned sql_limited_query::store_to(sql_record_slots* slots, const udb_schema* schema) {
    tk_log_message(1, "sql_limited_query::store_to(n_max_records=%d)", 256);
    if (slots == nullptr) {
        throw tk_mail_assertion("sql_limq", 66);
    }
    for (auto& slot : *slots) {
        slot.reset();
    }
    if (result_ == nullptr) {
        return 0;
    }
    const unsigned n_fields = mysql_num_fields(result_);
    const bool by_schema = schema != nullptr && schema->size() >= n_fields && !schema->empty();
    if (by_schema) {
        tk_log_message(1, "Schema is NOT empty");
    } else {
        tk_log_message(1, "Schema is empty, build via f_info");
    }
    const MYSQL_FIELD* fields = mysql_fetch_fields(result_);
    unsigned stored = 0;
    while (stored < slots->size()) {
        MYSQL_ROW row = mysql_fetch_row(result_);
        if (row == nullptr) {
            // The end of the rows, or a broken connection, which must not pass for the end.
            if (mysql_errno(mysql_) != 0) {
                throw sql_exception();
            }
            break;
        }
        const unsigned long* lengths = mysql_fetch_lengths(result_);
        if (by_schema) {
            (*slots)[stored] = std::make_unique<sql_record>(n_fields, *schema, lengths, row);
        } else {
            (*slots)[stored] = std::make_unique<sql_record>(n_fields, fields, lengths, row);
        }
        ++stored;
    }
    return stored;
}
