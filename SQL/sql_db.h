// A database on the MySQL server, and the value of one MySQL column.
#pragma once

#include "SQL/sql_vexp.h"

#include "UDB/udb_db.h"
#include "UDB/udb_field.h"

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class t_ftd;
class sql_tmp_recordset;

// The value of one MySQL column: a udb_field with constructors of its own.
class sql_field : public udb_field {
public:
    // A raw cell (numbers, dates, binary data, NULL): `bytes` of `length` bytes, read by the
    // MySQL type code and flags.
    sql_field(const std::wstring& name, int mysql_type, unsigned long length, unsigned flags,
              const char* bytes);
    // A text cell given as wide text.
    sql_field(const std::wstring& name, int mysql_type, unsigned long length, unsigned flags,
              const std::wstring& text);
    // A cell shaped by a column descriptor: byte columns (65, 70, 8209) take the bytes, every
    // other column reads the cell's text (`length` bytes, NULs kept) as its type. Null `text`
    // is SQL NULL.
    sql_field(const t_ftd& column, unsigned long length, const char* text);
    explicit sql_field(const udb_field& that);
};

// A database on the MySQL server. Made by the engine's open_db and create_db; it keeps a plain
// pointer to the engine's connection and never closes it. Used by one thread at a time; a
// reader answered by query() holds the connection until it is deleted.
class sql_database : public udb_database {
public:
    // Reads the table list and, unless mode bit 0x80 is set, the view list.
    sql_database(const std::wstring& name, MYSQL* mysql, std::int32_t mode);
    ~sql_database() override;

    // CREATE TABLE with its columns and indexes, in the table properties' character set and
    // engine; a table that exists already is opened unchanged. Answers the table.
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override;
    using udb_database::create_table;
    bool delete_tab(const std::wstring& name) override;
    void empty_table(const std::wstring& name) override;
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& select,
                                             std::int32_t flags) override;
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& select) {
        return get_query(name, select, 0);
    }
    // An existing table (listed in `tables`) as a recordset; an unlisted name is an internal
    // error (sql_db, 75).
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, std::int32_t flags) override;
    // Runs the statement: null for a statement without rows, else a reader over its streamed
    // result, which the caller deletes before the next statement. A server error raises
    // sql_exception after logging "QUERY=%s".
    std::unique_ptr<udb_recordset> query(const std::wstring& statement) override;
    // The same, answering the reader with its own type.
    std::unique_ptr<sql_tmp_recordset> query_rows(const std::wstring& statement);
    // Runs an encoded (UTF-8) statement whose result is not wanted; a server error raises
    // sql_exception.
    void query_append(std::string_view statement);
    bool test_query(const std::wstring& statement) override;
    // Creates each view from its SELECT text rewritten for MySQL; a failing view is reported
    // through the error handler and the next one follows.
    void create_views(const std::vector<udb_view>& views) override;
    // The kinds of this database's columns, as its catalogue has them now.
    sql_column_kinds column_kinds();

    std::wstring refine_view_out(const std::wstring& text) const;

    std::int32_t get_mode() const { return mode; }

    // Runs an INSERT or REPLACE whose "?" placeholders stand for the record's long values (type
    // not empty, size above sql_engine::max_field_size), in field order; `count` is their
    // number. Each value is sent as long data in pieces. A failure raises sql_exception with
    // the server's error (a row error), or sql_prep_stmt_failed_exception without one.
    void prepared_statement(const std::string& statement, const udb_record& record,
                            unsigned count);
    // The same with the long values given in the order of their placeholders; answers the rows
    // the statement affected.
    std::uint64_t prepared_statement(const std::string& statement,
                                     const std::vector<const udb_field*>& long_values);
    // Adds the foreign keys to the converted tables (see sql_fk.cpp).
    void create_relationships(const udb_relationships& relationships) override;
    // Adds an index on `columns` (source names) to `table` unless one starts with them.
    void create_fk_index_if(const std::wstring& table, const std::vector<std::wstring>& columns);

    MYSQL* mysql;

private:
    // The table's name as the list spells it: table names compare without regard to case, while
    // the server on Linux tells them apart.
    std::wstring listed_name(const std::wstring& table) const;
    void init_tables();
    void init_views();
    // Runs a statement and throws sql_exception (after "QUERY=%s") when the server refuses it.
    void run_or_throw(const std::string& statement, const std::wstring& text);
};
