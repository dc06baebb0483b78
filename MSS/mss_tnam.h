// MS SQL table names: splitting "owner.table" and "[owner].[table]", joining the parts, and
// quoting names and literals for T-SQL text.
#pragma once

#include <string>

// Splits `name` into table and owner (the owner is empty for a simple name). A bracketed name
// "[owner].[table]" gives its parts with "]]" turned back into "]"; any other name is split at
// its first point. Names of fewer than 3 characters are never split. Always true.
bool mss_split_tab_name(const std::wstring& name, std::wstring& table, std::wstring& owner);

// Owner, separator and table, or the table alone when the name has no owner.
std::wstring mss_simplify_tab_name(const std::wstring& name, wchar_t separator);

// The name in brackets with every "]" inside doubled; a name already enclosed in brackets is
// returned unchanged.
std::wstring mss_enclose_name(const std::wstring& name);

// The text with every "'" doubled, for use between single quotes in T-SQL.
std::wstring mss_escape_literal(const std::wstring& text);
