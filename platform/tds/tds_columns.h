// Result columns of the SQL Server provider: how a column that FreeTDS describes is reported
// to OLE DB consumers (as SQL Server's own providers report it), how its values are read from
// ODBC, and the text form each value takes when a consumer binds it as DBTYPE_WSTR.
#pragma once

#include "platform/oledb/memory_rowset.h"
#include "platform/tds/tds_odbc.h"

#include <cstddef>
#include <cstdint>
#include <string>

// How a value is held between the fetch and GetData.
enum class tds_kind : std::uint8_t {
    boolean,          // SQL_C_BIT
    integer,          // SQL_C_SBIGINT
    decimal,          // SQL_C_CHAR digits: decimal, numeric, money, smallmoney
    real4,            // SQL_C_FLOAT
    real8,            // SQL_C_DOUBLE
    date,             // SQL_C_TYPE_DATE
    time,             // SQL_C_BINARY: FreeTDS's SQL_SS_TIME2_STRUCT
    timestamp,        // SQL_C_TYPE_TIMESTAMP
    timestamp_offset, // SQL_C_BINARY: FreeTDS's SQL_SS_TIMESTAMPOFFSET_STRUCT
    text,             // SQL_C_WCHAR: UTF-16
    binary,           // SQL_C_BINARY
    guid,             // SQL_C_GUID
};

struct tds_column {
    odbc::column_description odbc;
    oledb_column info; // what IColumnsInfo reports
    tds_kind kind = tds_kind::text;
    odbc::c_type c_type = odbc::c_wchar;
    // Long values (the (max) types, text, ntext, image, xml, UDTs, sql_variant) are read in
    // pieces after the fetch; all others have a fixed slot in the row image.
    bool is_long = false;
    // sql_variant: FreeTDS hands the whole value again on every piece, so it is read once.
    bool read_once = false;
    std::uint32_t slot_size = 0;
    std::uint64_t value_offset = 0;     // in the row image
    std::uint64_t indicator_offset = 0; // in the row image
    int fraction_digits = 0;            // time, timestamp and offset texts
};

// The OLE DB view and the read plan of a column FreeTDS describes (offsets left at 0).
tds_column tds_map_column(const odbc::column_description& description);

// Lays the fixed slots of `columns` out in one row image (indicator then value, 8-byte
// aligned); returns the bytes of a row.
std::uint64_t tds_layout_row(std::vector<tds_column>& columns);

// Longest text a fixed value that is not text or binary produces, in UTF-16 units.
inline constexpr std::size_t tds_scalar_text_max = 64;

// Writes the text of a fixed value that is neither text nor binary (`value` points at its slot,
// `length` is its indicator) into `out`, which holds tds_scalar_text_max units; returns the
// units written (no terminator).
std::size_t tds_format_scalar(const tds_column& column, const void* value, odbc::sql_len length,
                              char16_t* out);

// Writes one value through `binding` into the consumer's row at `row`: status, length (the
// whole value's length in bytes, without terminator) and value, each only when its part is
// bound. `value` and `length` are the value as read from ODBC (UTF-16 bytes for text, raw bytes
// for binary, the slot for the others); `length` is odbc::null_data for NULL. Text is cut
// without splitting a surrogate pair, and a cut value is DBSTATUS_S_TRUNCATED. Returns the
// status.
DBSTATUS tds_put_value(const tds_column& column, const DBBINDING& binding, BYTE* row,
                       const void* value, odbc::sql_len length);

// Whether a binding can be served for this column (types WSTR, STR and, for binary and text
// columns, BYTES).
DBBINDSTATUS tds_check_binding(const tds_column& column, const DBBINDING& binding,
                               DBORDINAL columns);
