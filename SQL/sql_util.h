// MySQL type mapping and value literals: column descriptors to MySQL column text, values to
// MySQL literals, and MySQL result cells back to values.
#pragma once

#include "OLE/ole_var.h"

#include <cstdint>
#include <string>
#include <string_view>

class t_ftd;
class udb_field;

// ---- Type mapping -------------------------------------------------------------------------------

// The MySQL type text of a column: with its size, precision or fractional-second digits unless
// `name_only`. A type code the mapping does not know is an internal error (sql_util, 604).
std::wstring get_sql_native_type2(const t_ftd& column, bool name_only);

// The type text of an edited destination type (name, length, scale, precision): "VARCHAR" and
// "CHAR" names take "(length)", "DECIMAL" names "(precision,scale)", any other name is returned
// unchanged. The driver's edited type passes its members.
std::wstring get_sql_native_type1(const std::wstring& name, int64_t length, int32_t scale,
                                  int32_t precision);

// The text that follows " DEFAULT " for the column, or an empty text when it gets no default.
// Null is an internal error (sql_util, 53).
std::wstring make_mysql_def_val(const t_ftd* column);

// The expression default, in parentheses, that alone carries the column's function default:
// a new GUID (newid(), newsequentialid()) on a text column, the current date or time on a
// date-only or time-only column, a UTC time (getutcdate(), sysutcdatetime()). Empty for every
// other column. Servers take it from MySQL 8.0.13 and MariaDB 10.2.1 on
// (sql_engine::accepts_expression_defaults); make_mysql_def_val gives it only there.
std::wstring sql_expression_default(const t_ftd& column);

// The type code a MySQL type text stands for; stores the byte size into `size` where known.
VARTYPE get_vartype_of_native_type(const std::wstring& type, int64_t& size);

// The MySQL type name of a type-name code 0 to 27; "<Unknown type>" for any other code.
std::wstring mysql_type_name(int code);

// Whether a MySQL type text names a text type that takes a character set (CHAR, VARCHAR and the
// TEXT kinds, LONG and LONG VARCHAR among them).
bool sql_is_text_type(const std::wstring& type_text);
// Whether a MySQL type text names a type whose DEFAULT must be an expression on servers that
// accept one and is refused below (TEXT, BLOB and geometry kinds, LONG and LONG VARCHAR too).
bool sql_is_lob_type(const std::wstring& type_text);

// ---- Literals -----------------------------------------------------------------------------------

// The literal of one field for a destination column, as an INSERT writes it: "?" for a value
// above the long-data limit when `allow_placeholder`, a custom rule's text, a text or
// geometry literal for a text column, the column's default or NULL for a missing value, or the
// value's literal. UTF-8. A null field or column is an internal error (sql_util, 1138, 1139).
std::string get_fld_append_str(const udb_field* field, const t_ftd* column, bool allow_placeholder);
// The same, appended to `out` (the row writers build a statement in one buffer).
void append_fld_str(std::string& out, const udb_field& field, const t_ftd& column,
                    bool allow_placeholder);

// The literal of a field by its own type: byte arrays as 0x and hexadecimal digits (NULL
// without bytes), everything else as to_mysql_str of its text. Null: internal error (sql_util,
// 907).
std::string to_mysql_str(const udb_field* field);
// Appends the same to `out`.
void append_mysql_str(std::string& out, const ole_variant& value);

// The literal of a text of value type `vt`: NULL for VT_EMPTY and VT_NULL, '' for an empty text,
// dates in their canonical form with six fraction digits, texts quoted with backslash, quote and
// NUL escaped, numbers bare when they are numbers (any other text is quoted), hexadecimal byte
// texts bare. The narrow text is UTF-8.
std::string to_mysql_str(const std::string& text, VARTYPE vt);
std::wstring to_mysql_wstr(const std::wstring& text, VARTYPE vt);

// Appends `text` (UTF-8 or UTF-16) to `out` as the inside of a quoted MySQL string: backslash,
// single quote and NUL escaped, converted to UTF-8.
void append_escaped(std::string& out, std::string_view utf8);
void append_escaped(std::string& out, std::u16string_view utf16);

// Whether the text is a decimal number that may stand bare in a statement.
bool sql_is_number_text(std::string_view text);

// ---- Result cells -------------------------------------------------------------------------------

// The value type of a MySQL field type code and flags.
VARTYPE get_vartype(int mysql_type, unsigned flags);

// A MySQL result cell as a value: bytes for binary columns (unless the engine reads BLOBs as
// text), text for text columns, else the text read as the column's value type. Null data gives
// VT_EMPTY.
ole_variant get_variant(int mysql_type, unsigned long length, unsigned flags, const char* data);
// The same for a cell given as 16-bit units (the low byte of each where bytes are meant).
ole_variant get_variant(int mysql_type, unsigned long length, unsigned flags, const char16_t* data);
// A value of type `vt` read from a text; null gives VT_EMPTY; VT_BOOL is true for any
// non-empty text.
ole_variant get_variant(VARTYPE vt, const char* text);
// The same for a text of known length (UTF-8), which may hold NUL characters.
ole_variant get_variant_text(VARTYPE vt, std::string_view text);
ole_variant get_variant(VARTYPE vt, const wchar_t* text);
