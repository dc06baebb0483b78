// Records from rows: one fetched row of the row buffer turned into typed values.
#pragma once

#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "platform/oledb/oledb.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A value of a row read from an OLE DB rowset.
class odb_field : public udb_field {
public:
    using udb_field::udb_field;
    std::wstring to_wstring() const override;
};

// A column whose whole value did not fit its place in the row buffer and was read into a slot
// of its own, laid out like a row-buffer column: status (4 bytes), length (8 bytes), value; or,
// for a text the record keeps as a BSTR, read straight into that BSTR (`text`, whole and
// checked), which the record takes over, leaving null: a large text is then held once by the
// reader instead of twice.
struct odb_long_value {
    unsigned column = 0;
    const BYTE* slot = nullptr;
    BSTR* text = nullptr;
};

// The fields of one row, in column order. The row buffer, column information and bindings are
// borrowed from the recordset and used only while the record is built.
class odb_record : public udb_record {
public:
    // Builds the fields of the row now in `row_buffer`. `names` (optional) holds the columns'
    // names as wide text, so they are not converted again for every row; `long_values` lists
    // the columns read apart from the buffer; `names_naming` (with `names`: nonzero, the same
    // for as long as `names` holds the same names) becomes the record's naming once a row was
    // read in full. A value that still arrives truncated raises a tk_exception (level 0) naming
    // the column: it is never turned into an empty value.
    odb_record(unsigned columns, const BYTE* row_buffer, const DBCOLUMNINFO* info,
               const DBBINDING* bindings, const std::vector<std::wstring>* names = nullptr,
               const std::vector<odb_long_value>& long_values = {}, std::uint64_t names_naming = 0);
    ~odb_record() override;

    // Rebuilds the record from the row now in `row_buffer`, as the constructor builds it. The
    // fields an earlier row left are kept and take the new values, so that a row allocates
    // nothing but the values that need storage of their own (texts, bytes). After a failure the
    // record holds part of the row and must be read again before use. Fields of a record that
    // already carries `names_naming` keep their names: the names are not compared per row.
    void read(unsigned columns, const BYTE* row_buffer, const DBCOLUMNINFO* info,
              const DBBINDING* bindings, const std::vector<std::wstring>* names,
              const std::vector<odb_long_value>& long_values, std::uint64_t names_naming = 0);

    // The value type of a column of OLE DB type `type`; `reserved` receives the subtype code
    // where the type fixes one (dates, GUID, XML) and is left alone otherwise.
    static VARTYPE get_vartype(DBTYPE type, DBLENGTH size, DBCOLUMNFLAGS flags,
                               std::int32_t& reserved);

    // Whether the record keeps the value of a column so bound as the BSTR of its text as
    // delivered, with no conversion: what a long value may be read straight into.
    static bool keeps_text_as_is(const DBCOLUMNINFO& column, const DBBINDING& binding);

    // The OLE DB type code that describes a column of the descriptor's type to the provider.
    static DBTYPE get_oledb_type(const t_ftd& column);

    // The field of `column` from its text (`length` bytes of UTF-16).
    static std::unique_ptr<odb_field> get_field(const DBCOLUMNINFO& column,
                                                const std::wstring& name, std::u16string_view text,
                                                DBLENGTH length);

    // The value of `column` from its text (`length` bytes of UTF-16) and, in `size`, the size
    // its field states.
    static ole_variant get_value(const DBCOLUMNINFO& column, std::u16string_view text,
                                 DBLENGTH length, std::uint32_t& size);

    unsigned columns = 0;
    const BYTE* row_buffer = nullptr;
    const DBCOLUMNINFO* info = nullptr;
    const DBBINDING* bindings = nullptr;

private:
    // Puts the value into field `i`, reusing the field that is there; a reused field takes
    // `name` unless `named` says it has it already.
    void place(unsigned i, const std::wstring& name, bool named, std::uint32_t size,
               ole_variant&& value);
};
