// A streamed SELECT over a table or a query, handed out in windows of records.
#pragma once

#include <mysql.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class sql_database;
class sql_record;
class udb_schema;

// The records of one window; a slot past the last row read is empty.
using sql_record_slots = std::array<std::unique_ptr<sql_record>, 256>;

// SELECT * over a table (backquoted from 4.1.0) or over a query (as a derived table named
// temp___table), its result streamed: while it is open the connection runs no other statement.
class sql_limited_query {
public:
    // `filter` and `window` are passed along only. `row_limit` > 0 adds " LIMIT n", so that
    // releasing a partly read result never reads the rest of a large table. A refused SELECT
    // raises sql_exception.
    sql_limited_query(sql_database& db, const std::wstring& text, const std::wstring& filter,
                      int window, bool is_query, std::uint64_t row_limit = 0);
    ~sql_limited_query();

    sql_limited_query(const sql_limited_query&) = delete;
    sql_limited_query& operator=(const sql_limited_query&) = delete;

    // Empties every slot, then fills them from the first with up to 256 further rows: along the
    // schema's descriptors when one with columns is given, else along the result's fields.
    // Returns the number of rows stored. Null slots: internal error (sql_limq, 66).
    unsigned store_to(sql_record_slots* slots, const udb_schema* schema);

    MYSQL_RES* result() const { return result_; }

private:
    MYSQL* mysql_;
    MYSQL_RES* result_ = nullptr;
};
