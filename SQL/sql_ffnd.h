// Matching the fields of a source record with the columns of a MySQL table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class udb_record;
class udb_schema;
class udb_validator;

// Gives the fields of a record the destination names that the column clauses gave the columns
// of a table created from the same source, and finds a field by column name.
class sql_field_finder {
public:
    explicit sql_field_finder(const udb_record& record);
    // The same names for the columns of a source schema, whose records the table will take.
    explicit sql_field_finder(const udb_schema& schema);
    ~sql_field_finder();

    sql_field_finder(const sql_field_finder&) = delete;
    sql_field_finder& operator=(const sql_field_finder&) = delete;

    void initialize(const udb_record& record);
    void initialize(const udb_schema& schema);
    // Position of the field whose destination name equals `name` ignoring case; -1 when none.
    std::int32_t get_field_idx(const std::wstring& name) const;

    std::unique_ptr<udb_validator> validator;
    std::vector<std::wstring> names;

private:
    // The destination name of the next field or column, as the column clauses give it.
    void add_name(const std::wstring& source);
};

// Whether an existing table can hold every value of the source's columns as it is: rows go in by
// column name, so each column is judged against the source column that its name takes values
// from, wherever either stands. A column that takes no source column's values, or a source column
// that no column takes, is a mismatch.
bool sql_columns_hold(const udb_schema& source, const udb_schema& table);
