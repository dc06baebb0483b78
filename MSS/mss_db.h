// The MS SQL source database: its catalogue (tables, column types, sequences, views) read once
// at construction, and its tables and queries handed out as recordsets.
#pragma once

#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "platform/oledb/oledb.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class mss_table;
class odb_recordset;

// A new index name, "IDX_" and a process-wide counter: IDX_1, IDX_2, ...
std::wstring gen_idx_name2();
// Whether the column may hold NULL (a column the list lacks may); the unique indexes the writer
// creates on SQL Server 2008 and later leave such NULLs out with a filter.
bool mss_may_be_null(const udb_schema& schema, const std::wstring& column);

// The properties of one column for ITableDefinition (DBPROPSET_COLUMN); owns their values.
struct odb_column_props {
    odb_column_props() = default;
    ~odb_column_props();
    odb_column_props(const odb_column_props&) = delete;
    odb_column_props& operator=(const odb_column_props&) = delete;
    odb_column_props(odb_column_props&&) = default;

    void add(DBPROPID id, const VARIANT& value);
    void add_bool(DBPROPID id, bool value);
    void add_text(DBPROPID id, const std::wstring& text);

    std::vector<DBPROP> properties;
};

// A database reached through an OLE DB session: runs statements.
class odb_database : public udb_database {
public:
    odb_database(const std::wstring& name, int mode, IDBInitialize* data_source,
                 IOpenRowset* session);
    ~odb_database() override;

    // A recordset over the rows of `statement`; failures are odb_exception.
    std::unique_ptr<udb_recordset> query(const std::wstring& statement) override;
    // Whether `statement` runs.
    bool test_query(const std::wstring& statement) override;
    // Drops the table, then forgets its name; a failing DROP passes to the caller first.
    bool delete_tab(const std::wstring& name) override;
    // Creates the table through ITableDefinition, then refines uniqueidentifier, REAL,
    // DATETIMEOFFSET and natively typed decimal columns with ALTER COLUMN. Returns null: the
    // table is not opened.
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override;
    // Adds the column's default to `set` as DBPROP_COL_DEFAULT, when it has one SQL Server can
    // take; an unconvertible default is left out.
    void set_def_value(const t_ftd* column, odb_column_props* set);

    ole_com_ptr<IOpenRowset> session;
    ole_com_ptr<IDBInitialize> data_source;

protected:
    // The rows of `statement` on the session, as the concrete recordset.
    std::unique_ptr<odb_recordset> run(const std::wstring& statement);
};

class mss_database : public odb_database {
public:
    // Table name (canonical) to column name to declared type name.
    using column_type_map = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

    mss_database(const std::wstring& name, const std::wstring& schema, IDBInitialize* data_source,
                 IOpenRowset* session, int mode);
    ~mss_database() override;

    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& select,
                                             std::int32_t flags) override;
    // The user schemas of the database; "dbo" alone when they cannot be read.
    void get_schema_info(std::vector<std::wstring>& names) override;
    // The user schemas as sys.schemas lists them; a failure passes through.
    std::vector<std::wstring> read_schema_names();
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, std::int32_t flags) override;
    bool is_table_exist(const std::wstring& name) override;
    // Adds the table's own foreign keys to the relationship list: opening a table gathers only
    // the keys that refer to it. A failure to read them passes to the caller (odb_exception).
    void add_referencing_keys(const std::wstring& table_name);

    // Refines date, time, uniqueidentifier and spatial columns by their declared types, and
    // reads spatial columns as well-known text. Returns the table (null stays null).
    std::unique_ptr<mss_table> amend_schema(std::unique_ptr<mss_table> table);

    void init_tables(IOpenRowset* session, const std::wstring& schema);
    void init_columns(IOpenRowset* session, const std::wstring& schema);
    // init_columns; a failure is kept in column_types_error.
    void init_column_types(IOpenRowset* session, const std::wstring& schema);
    void init_sequencies(IOpenRowset* session, const std::wstring& schema);
    void init_views(IOpenRowset* session, const std::wstring& schema);

    // ---- The destination side (the MS SQL writer) ----
    // A new table (or, with mode bit 0x08, the existing one), opened over the given columns.
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override;
    // Builds and runs the CREATE TABLE statement; a refusal passes to the caller.
    void do_create_table(const std::wstring& name, const udb_schema& schema,
                         const udb_indexes& indexes);
    std::unique_ptr<mss_table> get_table2(const std::wstring& name, const udb_schema& schema);
    void empty_table(const std::wstring& name) override;
    // Creates the schema unless it exists or is dbo.
    void create_schema(const std::wstring& name) override;

    // The table's indexes, then on Azure SQL a clustered index when no primary key was issued.
    void create_indexes(const std::wstring& table, const udb_schema& schema,
                        const udb_indexes& indexes) override;
    void create_index(const std::wstring& table, const udb_schema& schema,
                      const udb_index& index) override;
    void create_clustered_index(const std::wstring& table, const udb_schema& schema);
    // Whether any constraint (`constraint`) or index of the database has the index's name.
    bool is_index_exist(const udb_index& index, bool constraint);
    // "UIDX_a_b", or with "_NNNNN" appended, a name none of the table's indexes has.
    std::wstring gen_idx_name(const udb_recordset* table, const std::vector<std::wstring>& columns);

    void create_relationships(const udb_relationships& relationships) override;
    // A unique index on the referenced columns unless one of the table's unique indexes starts
    // with them.
    void create_fk_index_if(const std::wstring& table, const std::vector<std::wstring>& columns);

    void create_sequences(const std::vector<udb_sequence>& sequences) override;

    void create_views(const std::vector<udb_view>& views) override;
    // A MySQL view text rewritten for T-SQL.
    static std::wstring refine_view(const std::wstring& text);

    // Set when a primary key statement was run for the table being created.
    bool pk_created = false;

    column_type_map column_types;
    // Catalogue statements that failed at construction, as the error texts to report (empty:
    // read). Each table opened reports the first; the views' is for whoever asks for them.
    std::string column_types_error;
    std::string views_error;
    bool writer_flag = false;
};
