// Matching the fields of a source record with the columns of a MySQL table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class udb_record;
class udb_validator;

// Gives the fields of a record the destination names that the column clauses gave the columns
// of a table created from the same source, and finds a field by column name.
class sql_field_finder {
public:
    explicit sql_field_finder(const udb_record& record);
    ~sql_field_finder();

    sql_field_finder(const sql_field_finder&) = delete;
    sql_field_finder& operator=(const sql_field_finder&) = delete;

    void initialize(const udb_record& record);
    // Position of the field whose destination name equals `name` ignoring case; -1 when none.
    std::int32_t get_field_idx(const std::wstring& name) const;

    std::unique_ptr<udb_validator> validator;
    std::vector<std::wstring> names;
};
