// Column descriptors and the schema of a table.
#pragma once

#include "OLE/ole_var.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Subtype codes of t_ftd::dw_reserved shared by the readers and the writers.
// For VT_DATE: 1 date and time, 2 date only, 3 time only; 9 to 11 the same kinds with a
// current-date or current-time default; plus 0x10 for a datetimeoffset column.
// For VT_BSTR: 1 uniqueidentifier, 2 geometry, 8 geography, 4 char, 11 XML; plus 0x10 for an
// empty-string default.

// For the numbers a MySQL table reads back: an unsigned decimal, a MEDIUMINT (24 bits), a YEAR.
inline constexpr std::int32_t udb_subtype_unsigned = 2;
inline constexpr std::int32_t udb_subtype_medium = 3;
inline constexpr std::int32_t udb_subtype_year = 4;
// For bytes a MySQL table reads back: a BINARY(n) column, which pads shorter values with zeros.
inline constexpr std::int32_t udb_subtype_fixed_bytes = 5;

// Type codes of numbers that every numeric column takes; VT_INT and VT_UINT are not among them.
bool udb_is_number_type(VARTYPE vt);
// Type codes of byte values.
bool udb_is_bytes_type(VARTYPE vt);

// One column of a table.
class t_ftd {
public:
    // The empty descriptor: every number 0, every text empty, type VT_EMPTY.
    t_ftd() = default;
    // `prec` and `scale` 0, `comment` empty; the readers set the other members afterwards.
    t_ftd(std::int32_t size, const std::wstring& name, VARTYPE type, bool b_not_null,
          bool b_auto_num, const ole_variant& default_value, std::int32_t dw_reserved,
          const std::wstring& native_type);

    // Same type (VT_DECIMAL and VT_CY count as one), and for text the same size.
    bool operator==(const t_ftd& that) const;
    // Whether every value of this (source) column's type fits destination column `that` as it
    // is: a number's range, precision and scale, a date's kind and fractional seconds (as many as
    // MySQL keeps, 6), a text's length.
    bool conform_to(const t_ftd& that) const;

    std::int32_t size = 0;  // characters for text, bytes for binary, the value's width otherwise
    std::int32_t prec = 0;  // precision of a decimal column
    std::int32_t scale = 0; // scale of a decimal, fractional-second digits of a date
    std::wstring name;
    VARTYPE type = VT_EMPTY;
    std::wstring native_type; // the column's type as its database spells it
    bool b_auto_num = false;  // identity or auto-increment
    bool b_not_null = false;
    ole_variant default_value;    // empty when the column has none
    std::int32_t dw_reserved = 0; // subtype code, see above
    std::wstring comment;
};

// A table's columns in order, with its auto-increment seed and step. Copies share the
// descriptors (a change through one copy is seen through the others); a descriptor lives as
// long as a schema holds it. reset() on a schema marked `b_owner` drops them from that schema.
class udb_schema : public std::vector<std::shared_ptr<t_ftd>> {
public:
    // Marked as owner of its descriptors.
    udb_schema() : udb_schema(true) {}
    explicit udb_schema(bool b_owner);
    udb_schema(const udb_schema&) = default;
    udb_schema& operator=(const udb_schema&) = default;
    udb_schema(udb_schema&&) noexcept = default;
    udb_schema& operator=(udb_schema&&) noexcept = default;
    virtual ~udb_schema();

    // Empties the list (dropping the descriptors it held).
    void reset();

    // Whether rows of this (source) schema fit a table of schema `dest`: the same column count
    // and every column conforming, by position or (with `by_name`) by name.
    bool conform_to(const udb_schema& dest, bool by_name) const;

    // Lookups by name ignoring case; the first match counts.
    bool find_field(const std::wstring& name) const;
    // The descriptor of that name; when there is none, an empty descriptor that stays valid on
    // this thread until the next miss (what a caller writes into it is dropped then).
    t_ftd& get_field1(const std::wstring& name);
    const t_ftd& get_field2(const std::wstring& name) const;
    // 0-based position, -1 when none.
    std::int32_t get_field_idx(const std::wstring& name) const;
    // The size, 0xFFFFFFFF when none.
    std::uint32_t get_field_size(const std::wstring& name) const;
    // The type, VT_NULL when none.
    VARTYPE get_field_type(const std::wstring& name) const;

    bool b_owner = true;
    std::int32_t seed = 1;      // first auto-increment value
    std::int32_t increment = 1; // auto-increment step

private:
    t_ftd* find(const std::wstring& name) const;
};
