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

// Whether `name` is exactly one identifier in brackets: "[" text "]" with every "]" of the
// text doubled and nothing before or behind.
bool mss_is_one_enclosed_name(const std::wstring& name);

// The one function that makes a name safe in a statement: the name in brackets with every "]"
// inside doubled. Only a name that is already one enclosed identifier
// (mss_is_one_enclosed_name) is returned unchanged.
std::wstring mss_enclose_name(const std::wstring& name);

// Reads a table, sequence or view name given to the writer: "[owner].[name]" (two enclosed
// identifiers and one point, as mss_format_tab_name writes them) names an object of a schema;
// "[name]" (one enclosed identifier) and any other text name an object of the default schema,
// the text as it stands: "my.table" is the table "my.table", not the table "table" of "my".
void mss_read_dest_name(const std::wstring& name, std::wstring& owner, std::wstring& table);

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
