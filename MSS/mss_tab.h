// MS SQL tables and queries as forward-reading recordsets, with their columns, identity,
// indexes and foreign keys read from the catalogue.
#pragma once

#include "MSS/mss_floa.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_recs.h"
#include "OLE/ole_ptr.h"
#include "UDB/udb_rel.h"
#include "platform/oledb/oledb.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One table, or the result of one query. The rows are counted with COUNT_BIG at construction
// and at every reset; the read ends when the rowset runs dry.
class odb_table : public odb_recordset {
public:
    // A query: `query` is run as a command.
    odb_table(const std::wstring& name, const std::wstring& query, IOpenRowset* session, int mode,
              udb_relationships* relationships);
    // A table, opened by name.
    odb_table(const std::wstring& name, IOpenRowset* session, int mode,
              udb_relationships* relationships);
    ~odb_table() override;

    void internal_initialize(int mode);
    std::uint64_t get_records_cnt();
    bool is_eof() override;
    void reset() override;

    // Indexes through the schema rowsets, foreign keys referring to the table.
    void init_indexes(const std::wstring& table, const std::wstring& owner);
    // Indexes and foreign keys of the table through the sys views (Azure SQL).
    void init_indexes2(const std::wstring& table, const std::wstring& owner);
    // The foreign keys of init_indexes2, from the statement `sql`.
    void read_foreign_keys2(const std::wstring& sql, const std::wstring& table,
                            const std::wstring& owner);

    ole_com_ptr<IOpenRowset> session;
    udb_relationships* relationships = nullptr;
    int mode = 0;

protected:
    // The rows of `sql` run on the table's session.
    std::unique_ptr<odb_recordset> run_query(const std::wstring& sql);

private:
    void initialize_with_retry(bool table_form);
    bool count_reported_ = false;
};

class mss_database;

class mss_table : public odb_table {
public:
    // A destination table: no reading rowset, the row count from the table as it is now, and a
    // copy of each of `columns` as its schema. `database` becomes the owner database.
    mss_table(const std::wstring& name, IOpenRowset* session, const udb_schema& columns,
              mss_database* database);
    mss_table(const std::wstring& name, IOpenRowset* session, int flags,
              udb_relationships* relationships);
    mss_table(const std::wstring& name, const std::wstring& query, IOpenRowset* session, int flags,
              udb_relationships* relationships);
    ~mss_table() override;

    // Completes the column descriptors from the catalogue: identity, defaults, char and
    // datetimeoffset marks, decimal precision and scale.
    void init_schema();
    // The default value that a default definition stands for, typed by the column.
    static ole_variant get_def_value(const t_ftd& ftd, const std::wstring& definition);
    // Reads the rows from `select` from now on; the schema stays as it is.
    mss_table* refine_by_sql_query(const std::wstring& select);

    // Writing: by bulk load while the engine's switch is on and the bulk-copy rowset opened,
    // else by one INSERT statement per record. A record that does not match the columns is
    // refused with udb_structure_exception; a failed statement or row is odb_exception.
    void append_record(const udb_record& record) override;
    void slow_record(const udb_record& record);
    void fast_append(const udb_record& record);
    // Binds every value of `record` into the bulk load's row and sends it.
    void bind_record(const udb_record& record);
    // Updates and deletes by key; a failing statement is logged, never thrown.
    void update1(const udb_record& record) override;
    void update2(const udb_record& record, const std::wstring& key) override;
    void delete_key(const std::wstring& key) override;
    void delete_key(const udb_record& record) override;
    // N'...': a key text of a Unicode column would otherwise pass through the database's code
    // page and could name another row; line continuations guarded as in every literal.
    std::wstring text_literal(const std::wstring& text) const override;

    bool b_identity = false;
    bool b_fl_failed = false;
    bool b_writer = false;
    odb_command command;
    mss_fast_load fl;

private:
    // Records handed to append_record, refused ones included: a failed bulk-load commit names
    // its lost records by this count, the caller's own.
    std::uint64_t records_handed_ = 0;
    // Which field of a record holds each column's value, found by name as a statement finds
    // it (npos: none, the server fills the column); kept for records of the same naming.
    std::vector<std::size_t> field_of_column_;
    std::vector<std::wstring> source_names_;
    std::uint64_t paired_naming_ = 0;
    void pair_fields(const udb_record& record);
    // Switches IDENTITY_INSERT off after a stored row of the table, in a batch of its own;
    // failures are traced.
    void identity_insert_off();
    // A record the bulk copy cannot carry: the copy's rows are committed, then the record goes
    // by statement.
    void by_statement_after_commit(const udb_record& record);
    void read_identity(const std::wstring& table, const std::wstring& owner);
};
