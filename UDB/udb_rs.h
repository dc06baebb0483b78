// The neutral recordset: one table or query result, read as a forward cursor on the source
// side and written row by row on the destination side.
#pragma once

#include "TK/tk_excep.h"
#include "UDB/udb_field.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_schema.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class udb_database;

// A table or query result. The database that makes a recordset hands it to its caller, who owns
// it and deletes it through this interface. A recordset is used by one thread at a time.
//
// Key text: the key columns of one row as a flat sequence of elements, one per key column, each
// named after the column and holding the value, with "<", ">" and "&" in a value written as
// "&lt;", "&gt;" and "&amp;"; no element encloses the sequence.
// The rows' columns are not those of the destination table (level 0). Every row of the table
// would fail alike, so a run ends that table's copy with one error.
class udb_structure_exception : public tk_exception {
public:
    explicit udb_structure_exception(const std::string& text) : tk_exception(text, 0) {}
    explicit udb_structure_exception(const std::wstring& text) : tk_exception(text, 0) {}
};

class udb_recordset {
public:
    // A recordset of `db` (not owned); the schema is created with `b_owner`.
    udb_recordset(udb_database* db, const std::wstring& name, const std::wstring& query,
                  bool b_owner);
    udb_recordset(udb_database* db, const std::wstring& name, bool b_owner);
    // No database, no query text, a schema that owns its descriptors.
    explicit udb_recordset(const std::wstring& name);
    virtual ~udb_recordset();

    udb_recordset(const udb_recordset&) = delete;
    udb_recordset& operator=(const udb_recordset&) = delete;

    // Writes one record. Read-only recordsets raise an internal error.
    virtual void append_record(const udb_record& record) = 0;
    // Updates the row named by `key` (key text) with `record`; the base only logs.
    virtual void update2(const udb_record& record, const std::wstring& key);
    // Updates the row whose key fields `record` holds; the base only logs.
    virtual void update1(const udb_record& record);
    // Reserved; does nothing.
    virtual void reserved1();
    // The current record, owned by the recordset; null in the base.
    virtual udb_record* get_item();
    // True in the base.
    virtual bool is_eof();
    // Whether the recordset is a query result.
    virtual bool is_query() const;
    virtual void move_to(std::int32_t position);
    virtual void next();
    virtual void prev();
    virtual void reset();
    // Deletes the row named by `key` (key text); the base does nothing.
    virtual void delete_key(const std::wstring& key);
    // Deletes the row whose key fields `record` holds; the base does nothing.
    virtual void delete_key(const udb_record& record);
    // A new record holding copies of `record`'s key fields in key order, or null when the
    // record lacks one of them. Without a key index: tk_exception "There's no primary/unique
    // key" (level 1).
    virtual std::unique_ptr<udb_record> get_key(const udb_record& record) const;
    // The condition (without WHERE) that selects the row named by `key` (key text), against
    // this recordset's schema: each column as a double-quoted name, numbers and binary values
    // bare when they are valid literals, everything else a quoted, escaped text; joined by
    // " and ". A column the schema lacks: tk_exception "The structure of data source does not
    // conform to the destination table." (level 0).
    virtual std::wstring get_filter_subquery(const std::wstring& key) const;
    // A text value of the condition above as a quoted literal of the destination's dialect:
    // here '...' with every quote doubled.
    virtual std::wstring text_literal(const std::wstring& text) const;

    // Adds an index read from the table, unless one of that name (ignoring case) is listed; a
    // primary key, or the first unique index while there is no key yet, becomes the key.
    void add_index(const udb_index& index);

    std::wstring query;         // the SELECT text of a query result; empty for a table
    std::wstring name;          // the table's or query's name
    std::int32_t key_idx = -1;  // position of the key index in `indexes`, -1 when none
    udb_schema schema;          // the columns
    udb_indexes indexes;        // the indexes
    udb_database* db = nullptr; // the database that made the recordset; not owned
    // Kept for the layout of derived classes; nothing fills or reads them.
    std::wstring reserved_text;
    std::vector<std::pair<std::wstring, std::wstring>> reserved_pairs;
    // number of records, or unknown_count when the source could not count them
    std::uint64_t rec_count = 0;
    // A count that failed: the rows are read to the source's end, without a total.
    static constexpr std::uint64_t unknown_count = UINT64_MAX;
};
