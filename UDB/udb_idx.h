// Index descriptions of a table and their list.
#pragma once

#include <string>
#include <vector>

// One index of a table, as a reader found it.
class udb_index {
public:
    // Logs "udb_index::ctor('%ls',%d,%d)"; the readers fill `columns` afterwards.
    udb_index(const std::wstring& name, bool b_unique, bool b_primary);

    udb_index(const udb_index&) = default;
    udb_index& operator=(const udb_index&) = default;
    udb_index(udb_index&&) noexcept = default;
    udb_index& operator=(udb_index&&) noexcept = default;

    // Whether the index's leading columns are `fields`, in order, compared ignoring case. An
    // empty list is a prefix of every index.
    bool starts_with_fields(const std::vector<std::wstring>& fields) const;

    std::wstring name;
    bool b_unique = false;
    bool b_primary = false;            // a primary key also has b_unique set by the readers
    bool b_constraint = false;         // a unique constraint rather than a unique index
    std::vector<std::wstring> columns; // in key order
    // A second column list that no reader fills; copies carry it along.
    std::vector<std::wstring> extra_columns;
};

// The indexes of one table in the order they were added.
class udb_indexes : public std::vector<udb_index> {
public:
    // Adds `index`, or merges it into the listed index of the same name (ignoring case): a
    // primary key wins over everything, then a unique constraint, then a unique index; a plain
    // index never changes an existing entry.
    void push_back(const udb_index& index);

    // Adds `index` unless an index of the same name (ignoring case) is listed.
    void push_back_direct(const udb_index& index);

    // Whether the first index whose leading columns are `fields` exists and, with
    // `unique_only`, is unique. Later indexes are not examined.
    bool has_index_on_fields(const std::vector<std::wstring>& fields, bool unique_only) const;

    // Whether `field` is a column of an index (of the primary key only, with `primary_only`),
    // compared exactly: letter case counts.
    bool is_idx_field(const std::wstring& field, bool primary_only) const;

    // False when an index of that name (ignoring case) is listed.
    bool is_acceptable_name(const std::wstring& name) const;

private:
    // Position of the first index named `name` (ignoring case), or size() when none.
    std::size_t find2(const std::wstring& name) const;
};
