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

// The one text form of a table's (owner, table) pair: "[owner].[table]", or "[table]" without an
// owner, with every "]" inside a part doubled. Distinct pairs always give distinct texts.
std::wstring mss_format_tab_name(const std::wstring& owner, const std::wstring& table);

// The written form of a pair in lists, files and messages: "owner.table" (or "table") where that
// reads back as the same pair with mss_parse_tab_name, else mss_format_tab_name's form.
std::wstring mss_list_tab_name(const std::wstring& owner, const std::wstring& table);

// Reads a table name typed by a user or stored in a file: the form above, or a plain "table" or
// "owner.table" holding no bracket and at most one point. False for any other text (a plain name
// with two points could mean two tables), leaving the outputs unchanged.
bool mss_parse_tab_name(const std::wstring& text, std::wstring& owner, std::wstring& table);

// The text with every "'" doubled, for use between single quotes in T-SQL.
std::wstring mss_escape_literal(const std::wstring& text);
