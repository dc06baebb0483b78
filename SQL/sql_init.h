// The column and index clauses of a MySQL CREATE TABLE statement.
#pragma once

#include "SQL/sql_sch.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_nmap.h"

#include <memory>
#include <string>
#include <vector>

class udb_properties;
class udb_validator;

// Names the columns of one source table for MySQL and builds their clauses: name, type,
// CHARACTER SET, NOT NULL, DEFAULT, AUTO_INCREMENT, COMMENT. Lives for one create-table
// operation; the column list and the validator's mapped pairs then go to the index clauses.
class sql_schema_initializer {
public:
    // `auto_name` receives the destination name of the column that gets AUTO_INCREMENT (it is
    // emptied when the clauses are built). `flag` is false from both callers.
    sql_schema_initializer(const std::wstring& table, const udb_schema& source,
                           const udb_indexes& indexes, std::wstring& auto_name, bool flag);
    ~sql_schema_initializer();

    sql_schema_initializer(const sql_schema_initializer&) = delete;
    sql_schema_initializer& operator=(const sql_schema_initializer&) = delete;

    // One complete column definition per column, in column order. `table_properties` (the
    // user's changes of this table, or null) is passed along to nothing here yet.
    void get_init_chunks(std::vector<std::wstring>& out, udb_properties* table_properties);

    // A column whose source default has no DEFAULT clause: its destination name, the source's
    // default text, and whether an expression default would carry it on a newer server (a
    // script carries those in a version comment) or MySQL has no form of it at all.
    struct left_out_default {
        std::wstring column;
        std::wstring source_default;
        bool needs_expression_default = true;
    };

    std::wstring table;
    sql_schema columns;                       // the destination columns
    std::vector<std::wstring> source_names;   // their source names, in the same order
    std::unique_ptr<udb_validator> validator; // field names; its mapped pairs: source -> dest
    std::wstring& auto_name;
    const udb_indexes& indexes;
    const udb_schema& source;
    std::vector<left_out_default> left_out_defaults; // filled by get_init_chunks
    // The DEFAULT clause each column got, as written (empty: none), in column order; filled by
    // get_init_chunks, for a writer that must judge them without a server.
    std::vector<std::wstring> written_defaults;
    // The type each column got, as written, in column order; filled by get_init_chunks.
    std::vector<std::wstring> written_types;

private:
    void note_left_out_default(const t_ftd& column, bool needs_expression_default);
};

// Reports each default left out as a level-0 error naming the table, the column and the
// default; `expression_ones` false passes over those a script carries in a version comment.
void sql_report_left_out_defaults(const std::wstring& table,
                                  const std::vector<sql_schema_initializer::left_out_default>& lost,
                                  bool expression_ones = true);

// Builds the index clauses of one table: PRIMARY KEY, UNIQUE name or INDEX name with the
// destination columns, and gives the AUTO_INCREMENT column an index of its own when no created
// index starts with it. A key longer than the storage engine's limit (or over TEXT or BLOB
// columns): a plain index indexes prefixes of its text and byte columns; a unique key or primary
// key becomes a unique hash on MariaDB 10.4 and later (a primary key is then reported as not
// created) and is otherwise left out. Every key not created as asked is described in
// `left_out_keys`.
// A primary key or unique index as a CREATE TABLE writes it: its name and its columns'
// destination names.
struct sql_unique_key {
    std::wstring name;
    std::vector<std::wstring> columns;
};

class sql_indexes_initializer {
public:
    // `mapping`: source column name to destination column name. `storage_engine` decides the
    // longest index key (empty: the engine's default storage engine).
    sql_indexes_initializer(const sql_schema& columns, const udb_indexes& source,
                            const std::wstring& auto_name, const t_names_map& mapping, bool flag,
                            const std::wstring& storage_engine = L"");
    ~sql_indexes_initializer();

    sql_indexes_initializer(const sql_indexes_initializer&) = delete;
    sql_indexes_initializer& operator=(const sql_indexes_initializer&) = delete;

    void get_init_chunks(std::vector<std::wstring>& out);

    // The longest index key in bytes for the storage engine on this server.
    static std::uint32_t max_key_bytes(const std::wstring& storage_engine);
    // Whether the server enforces a unique key longer than the limit through a hash.
    bool long_unique_by_hash(const std::wstring& storage) const;

    // A script: a unique key too long for every server goes into MariaDB's version comment
    // `/*M!100400 UNIQUE ... USING HASH */` (the caller puts the separating comma inside it).
    bool mariadb_hash_comment = false;
    // What was not created as asked, one sentence each; filled by get_init_chunks.
    std::vector<std::wstring> left_out_keys;
    // The primary key and unique indexes written; filled by get_init_chunks.
    std::vector<sql_unique_key> unique_keys;

    udb_indexes indexes; // the destination indexes
    std::wstring auto_name;
    const sql_schema& columns;
    const t_names_map& mapping;
    std::wstring storage_engine;
};

// Whether a column is created with the engine's character set (CHARACTER SET clause): the
// text types; geometry and binary types take none.
bool sql_takes_charset(const t_ftd& column);

// A level-0 error in the context of `table` (UTF-8 `text`), also in the trace.
void sql_report_table_error(const std::wstring& table, const std::string& text);

// Reports each key not created as asked as a level-0 error naming the table.
void sql_report_left_out_keys(const std::wstring& table, const std::vector<std::wstring>& keys);

// The CREATE TABLE statement of a table on the server: the column clauses, the index clauses
// (when the table has indexes or an AUTO_INCREMENT column), the table properties' character set
// and the storage engine (" ENGINE=" after 4.0.22, " TYPE=" up to it; MyISAM before 3.23.35
// unless the table's properties name one). `field_names` receives the source-to-destination
// column names.
std::wstring sql_create_table_statement(const std::wstring& table, const udb_schema& schema,
                                        const udb_indexes& indexes, t_names_map& field_names);
