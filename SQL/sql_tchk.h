// Judges the texts of a user's type mapping before they reach CREATE TABLE: a type name and a
// default go into the statement as they stand, so only MySQL's own forms are accepted.
#pragma once

#include <string_view>

// A MySQL type name (one word, or two as in DOUBLE PRECISION), in any letter case, optionally
// with numeric arguments in parentheses ("(10)", "(10,2)") and the attributes SIGNED, UNSIGNED
// and ZEROFILL. ENUM and SET, whose arguments are texts, are not accepted.
bool sql_is_mapped_type(std::wstring_view type);

// Empty (no default), NULL, a number, a quoted string ('..' or ".." with the quote doubled
// inside), or a current-time function the column writers know (CURRENT_TIMESTAMP, NOW(),
// GETDATE(), SYSDATETIME(), ... with an optional precision), and NEWID() which they leave out;
// any of these may stand in parentheses, as SQL Server reports its defaults.
bool sql_is_mapped_default(std::wstring_view value);
