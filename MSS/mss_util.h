// Values as T-SQL literals for the statements the MS SQL writer sends: NULL, binary, the
// column's default or the value itself, quoted where T-SQL wants quotes.
#pragma once

#include "OLE/ole_var.h"

#include <string>

class t_ftd;
class udb_field;

// The literal of `field` for destination column `column`: binary values as 0x and hexadecimal
// digits ("0x" for a zero-length value), a custom rule's text, texts always quoted (an empty
// text is ''; for a uniqueidentifier column a GUID in any spelling as its 36-character text), a
// missing value as NULL, or for a NOT NULL column as "0x" (binary) or the literal of the column's
// default. A null field or column is an internal error (mss_util, 110, 111).
std::wstring mss_get_fld_append_str(const udb_field* field, const t_ftd* column);

// A copy of `value` that MS SQL accepts: dates after the year 9999 become 9999-12-30, doubles
// are clamped to 2.23e-308 .. 1.79e308 in magnitude (NaN to -1.79e308, 0 kept).
ole_variant mssql_get_safe_variant(const ole_variant& value);

// The quoted literal of a text whose "'" are doubled already: N'...' when `unicode`, '...'
// otherwise. A NUL character becomes NCHAR(0) (CHAR(0)) joined to its neighbours with "+",
// since FreeTDS would end the statement's text at it; an empty text is ''.
std::wstring mss_quote_text(const std::wstring& escaped, bool unicode);

// The literal of a value given by its text and type code: texts quoted with every "'" doubled
// (N'' when the engine's unicode switch is on), dates in their
// canonical form with the milliseconds or, where it holds finer digits, the microseconds of the
// value (such a value as CONVERT(datetime2(7), ...) or CONVERT(time(7), ...), which every date
// and time column takes; the zero date as 1899-12-30), binary texts bare when
// they are hexadecimal or decimal digits and quoted otherwise, every other type bare with "'"
// doubled. An empty text is '' for every type. Reads the MS SQL engine, which must exist.
std::wstring to_mssql_str(const std::wstring& text, VARTYPE vt);
