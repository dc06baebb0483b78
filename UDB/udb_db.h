// The neutral database, engine and property-bag interfaces that sources and destinations
// implement.
#pragma once

#include "UDB/udb_idx.h"
#include "UDB/udb_nmap.h"
#include "UDB/udb_rel.h"
#include "UDB/udb_rs.h"
#include "UDB/udb_schema.h"
#include "UDB/udb_seq.h"
#include "UDB/udb_util.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A view: its name and its SELECT text.
using udb_view = std::pair<std::wstring, std::wstring>;

// One database, as a source or a destination. The engine that opens it hands it to its caller,
// who owns it and deletes it through this interface (a script file is closed then). Recordsets
// it hands out are owned by the caller and keep a plain pointer to it. Used by one thread at a
// time.
class udb_database {
public:
    // `case_sensitive` nonzero: table names are compared exactly, else ignoring case.
    udb_database(const std::wstring& name, std::int32_t mode, std::int32_t case_sensitive);
    virtual ~udb_database();

    udb_database(const udb_database&) = delete;
    udb_database& operator=(const udb_database&) = delete;

    // Creates a schema (namespace); the base does nothing.
    virtual void create_schema(const std::wstring& name);
    // Not supported by any database: internal error (udb_db, 50).
    virtual void create_table();
    // Creates the table with its columns and indexes and answers it as a new recordset.
    virtual std::unique_ptr<udb_recordset> create_table(const std::wstring& name,
                                                        const udb_schema& schema,
                                                        const udb_indexes& indexes) = 0;
    // Creates one index; the base does nothing.
    virtual void create_index(const std::wstring& table, const udb_schema& schema,
                              const udb_index& index);
    // Calls create_index for each index in list order.
    virtual void create_indexes(const std::wstring& table, const udb_schema& schema,
                                const udb_indexes& indexes);
    virtual void create_sequences(const std::vector<udb_sequence>& sequences);
    virtual void create_views(const std::vector<udb_view>& views);
    virtual void delete_fk(const udb_relationship& relationship);
    virtual void delete_idx(const std::wstring& table, const udb_index& index);
    // Drops the table (derived classes) and removes its first entry from `tables` (exactly or
    // ignoring case, by `case_sensitive`); false when the name is not listed.
    virtual bool delete_tab(const std::wstring& name);
    virtual void reserved1();
    // Deletes every row: "delete from " and the name as the derived class quoted it, through
    // query(); errors of query() pass to the caller.
    virtual void empty_table(const std::wstring& name);
    virtual void reserved2();
    // Opens the result of `select` as a recordset named `name`.
    virtual std::unique_ptr<udb_recordset>
    get_query(const std::wstring& name, const std::wstring& select, std::int32_t flags) = 0;
    // Fills `names` with the database's schema names; the base leaves it empty.
    virtual void get_schema_info(std::vector<std::wstring>& names);
    // Opens an existing table as a recordset.
    virtual std::unique_ptr<udb_recordset> get_table(const std::wstring& name,
                                                     std::int32_t flags) = 0;
    // Runs a statement; a recordset over its result, or null. The base: internal error
    // (udb_db, 111).
    virtual std::unique_ptr<udb_recordset> query(const std::wstring& statement);
    // Runs a statement only to learn whether it succeeds.
    virtual bool test_query(const std::wstring& statement) = 0;
    virtual void create_relationships(const udb_relationships& relationships);
    // The table names.
    virtual std::vector<std::wstring>& get_tables();
    // Whether `name` is in `tables` (exactly or ignoring case, by `case_sensitive`).
    virtual bool is_table_exist(const std::wstring& name);

    // Records that source table `source` became destination table `dest`.
    void add_tn_mapping(const std::wstring& source, const std::wstring& dest);

    std::int32_t mode; // the open-mode flags of the engine that opened it
    std::wstring name; // the database's name
    std::wstring reserved_text;
    std::int32_t case_sensitive;
    std::vector<udb_view> views;
    std::vector<std::wstring> tables;
    udb_names_map names_map;
    std::vector<udb_sequence> sequences;
    udb_relationships relationships;
    bool reserved_flag = false;

protected:
    bool names_match(const std::wstring& a, const std::wstring& b) const;
};

class udb_properties;

// A database server: creates, opens, deletes and tests databases. Lives for the whole process.
class udb_engine {
public:
    udb_engine() = default;
    virtual ~udb_engine();

    udb_engine(const udb_engine&) = delete;
    udb_engine& operator=(const udb_engine&) = delete;

    // Creates the database and answers it open; the caller owns it.
    virtual std::unique_ptr<udb_database> create_db(const std::wstring& name) = 0;
    // Opens an existing database; the caller owns it. `text` is passed empty by every caller.
    virtual std::unique_ptr<udb_database> open_db(const std::wstring& name, std::int32_t mode,
                                                  const std::wstring& text) = 0;
    // Deletes the database; the base deletes the file of that name and raises tk_exception_ex
    // (level 1, the system's message) when it cannot.
    virtual void db_delete(const std::wstring& name);
    // Whether the database exists; the base: whether a file (not a directory) of that name
    // exists.
    virtual bool is_db_exist(const std::wstring& name);
    // Keeps the user's settings (not owned).
    virtual void set_properties(udb_properties* properties);

    udb_properties* properties = nullptr;
};

// Name-to-value map of property texts, ordered as UTF-16 code units.
using udb_property_map = std::map<std::wstring, std::wstring, udb_utf16_less>;

// A property bag in a tree of them: the user's changes of a database, its tables and their
// columns, held by the conversion driver. A node answers its own properties and finds its
// children by their source name or by the name they are given.
class udb_properties {
public:
    udb_properties() = default;
    virtual ~udb_properties();

    udb_properties(const udb_properties&) = default;
    udb_properties& operator=(const udb_properties&) = default;

    // The properties; the subscript operation inserts a missing key with an empty value.
    virtual udb_property_map& get_properties();
    // The child registered under that source name, or null.
    virtual udb_properties* find_by_name(const std::wstring& name) = 0;
    // The child registered under that new name, or null.
    virtual udb_properties* find_by_new_name(const std::wstring& name) = 0;

    udb_property_map properties;
};
