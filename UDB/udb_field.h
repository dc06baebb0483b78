// Fields and records: one row is an ordered list of named values.
#pragma once

#include "OLE/ole_var.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A named value of one column with the size its reader states (characters for text, bytes for
// binary data, the type's width for numbers).
class udb_field : public ole_variant {
public:
    // Empty value, empty name.
    udb_field();
    // Copies value, size, name and both attributes.
    udb_field(const udb_field& that);
    udb_field(const std::wstring& name, std::uint32_t size, const ole_variant& value, bool b_attr1,
              bool b_attr2);
    // Takes the value over without copying it: readers build a field per column of every row.
    udb_field(const std::wstring& name, std::uint32_t size, ole_variant&& value, bool b_attr1,
              bool b_attr2);
    ~udb_field() override;

    udb_field& operator=(const udb_field&) = default;
    // Assigning a value (another value, a text, bytes) keeps the name, size and attributes.
    using ole_variant::operator=;

    // The value's type code.
    virtual VARTYPE get_type() const;

    // The element count of a one-dimensional array (VT_CARRAY, VT_BLOB, byte array); else the
    // length in UTF-16 units of a text (as get_type() sees it); else `size`.
    std::uint32_t get_size() const;

    std::uint32_t size = 0;
    std::wstring name;
    // Two attributes that every creator passes false and no operation reads; copies carry them.
    bool b_attr1 = false;
    bool b_attr2 = false;
};

// One row: its fields in column order. The record owns them; a slot may be empty (null).
class udb_record : public std::vector<std::unique_ptr<udb_field>> {
public:
    udb_record() = default;
    virtual ~udb_record();

    udb_record(const udb_record&) = delete;
    udb_record& operator=(const udb_record&) = delete;
    udb_record(udb_record&&) noexcept = default;
    udb_record& operator=(udb_record&&) noexcept = default;

    // Whether a field of that name (ignoring case) is in the record.
    bool find_field(const std::wstring& name) const;

    // The first field of that name (ignoring case). When there is none, an empty field (empty
    // name, empty value) that stays valid on this thread until the next miss; callers test with
    // find_field first.
    udb_field& get_field(const std::wstring& name);
    const udb_field& get_field(const std::wstring& name) const;

    // The sum of get_size() over the fields that hold a value (type other than VT_EMPTY).
    std::uint32_t get_total_size() const;

    // A value no record carries yet, for a reader to stamp on records whose fields it names
    // alike (see `naming`).
    static std::uint64_t new_naming();

    // Records with the same nonzero naming have fields of the same names in the same order, so
    // that a writer that paired one record's fields with its columns keeps the pairing for the
    // next record of that naming without comparing names; 0 promises nothing. Only the reader
    // that stamped a record renames, adds or removes its fields, and stamps it again after.
    std::uint64_t naming = 0;

private:
    const udb_field* find(const std::wstring& name) const;
};
