// An existing MySQL table opened for writing: its columns, indexes, row key and foreign keys
// read back from the server, rows inserted singly or in multi-row statements, rows updated and
// deleted by key.
#pragma once

#include "SQL/sql_recs.h"

#include <cstdint>
#include <string>
#include <vector>

class sql_database;
class udb_schema;

// A table of a MySQL server database, made by the database's get_table and owned by its caller.
// Used by one thread at a time, on the database's connection.
class sql_table : public sql_recordset {
public:
    // Reads the table back (see initialize); a failure passes out and no table is made.
    sql_table(sql_database* db, const std::wstring& name, udb_relationships* relationships,
              std::int32_t flags);
    // Sends the multi-row statement still pending; its failure is only logged.
    ~sql_table() override;

    // Refines the columns from SHOW COLUMNS (declared types and defaults); unless `flags`
    // without the bits 0x20 and 0x40 is 0, reads the indexes and the row key (SHOW INDEX) and,
    // from server 3.23.44 on, adds the table's foreign keys to the database's relationship
    // list (SHOW CREATE TABLE). Leaves the engine's BLOB-as-text switch as it found it.
    void initialize(std::uint32_t flags);

    // Writes one row: one INSERT (REPLACE in the database's mode 0x100) per row, with long
    // values as prepared-statement data when the row is over the batch limit; or, while the
    // engine's fast_insert switch is on, gathered into a multi-row statement.
    void append_record(const udb_record& record) override;
    // Updates the row named by the key text with every column the record carries. A statement
    // that fails or matches no row raises a level-0 exception.
    void update2(const udb_record& record, const std::wstring& key) override;
    // Updates the row whose key columns the record carries with the record's other columns.
    // A row that cannot be updated (no key, a failing statement, no row matched) raises a
    // level-0 exception.
    void update1(const udb_record& record) override;
    // Deletes the row named by the key text; failures are logged.
    void delete_key(const std::wstring& key) override;
    // Deletes the rows equal to the record in every column the table has; failures are logged.
    void delete_key(const udb_record& record) override;

    void slow_append(const udb_record& record);
    void fast_append(const udb_record& record);

    // The batch limit in bytes (1000000).
    static std::int64_t get_max_buffer_size();

    // Rows are written with REPLACE (the database's mode 0x100). A table its database has just
    // created has nothing to replace: its rows go in by INSERT, so that two source rows that
    // collide under the destination's collation are refused, not merged.
    bool replaces_rows = false;
    // Rows already in the table that a REPLACE removed (one statement may remove several, one
    // per unique key it matched).
    std::uint64_t rows_replaced = 0;

    // The field count of the rows gathered in pending_query.
    std::uint32_t cached_rec_size = 0;
    // The multi-row INSERT not yet sent (UTF-8).
    std::string pending_query;

private:
    // slow_append for a record whose total size (get_total_size) is known already.
    void slow_append(const udb_record& record, std::uint32_t size);

    // How the fields of records of one layout meet the table's columns; rebuilt when the
    // layout (the record's field names) changes, so that a row costs only its values.
    struct row_layout {
        std::vector<std::wstring> field_names; // the layout's record field names
        bool valid = false;
        std::vector<std::int32_t> field_of;  // per written column, the record field
        std::vector<const t_ftd*> column_of; // per written column, the table column
        std::string column_list;             // the written column names, joined by ", "
        std::string slow_head;               // a one-row statement up to its first value
        std::string fast_head;               // a multi-row statement up to its column list's ")"
        std::uint64_t generation = 0;        // tells this layout from earlier ones
        std::wstring error_name;             // a field or column that does not match
        bool error_is_field = false;
    };

    bool layout_matches(const row_layout& layout, const udb_record& record) const;
    // Matches fields and columns as an INSERT of `path_slow` writes them.
    void build_layout(row_layout& layout, const udb_record& record, bool path_slow);
    row_layout& layout_for(const udb_record& record, bool path_slow);
    void append_head(std::string& out, bool fast) const;
    // Sends pending_query and empties it; a failure is logged, not passed on.
    void flush_pending_logged();

    row_layout slow_layout_;
    std::string statement_buffer_;
    row_layout fast_layout_;
    // The values of the row being added to pending_query, in one reused buffer.
    std::string row_values_;
    // The generation of the layout whose column list heads pending_query.
    std::uint64_t pending_generation_ = 0;
    std::uint64_t layouts_built_ = 0;
};

// Turns a row key given as text into the condition of a WHERE clause.
class sql_sync {
public:
    explicit sql_sync(sql_database* db);

    // The condition for `key` (key text) against table `table`: each column backquoted, a
    // value of a numeric or binary column bare when it is a number, every other value quoted
    // and escaped, compared with <=>; joined by " and ". `schema` is the table's own column
    // list when the caller has it; without it the table is opened by name to read it.
    std::wstring get_filter_subquery(const std::wstring& table, const std::wstring& key,
                                     const udb_schema* schema = nullptr);

    sql_database* db;
};
