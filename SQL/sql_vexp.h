// The code of a view text, read as tokens: what MySQL computes from it must be what SQL Server
// computes, and what it names must lie in the destination database.
#pragma once

#include <map>
#include <string>
#include <string_view>

// What a value is, as far as the rewriting of a view needs to know: T-SQL's "+" joins texts and
// adds numbers, its "/" divides integers as integers.
enum class sql_value_kind { unknown, null, text, integer, exact, approximate, temporal };

// The kind of a column of MySQL type `type` (a DATA_TYPE of information_schema, or a type as a
// CREATE TABLE writes it: "varchar(20)", "INT UNSIGNED", ...).
sql_value_kind sql_kind_of_mysql_type(std::wstring_view type);

// `s` with its ASCII letters in lower case, whatever the locale: the keys of sql_column_kinds.
std::wstring sql_lower_ascii(std::wstring_view s);

// The destination's columns by table: lower-case table name -> lower-case column name -> kind.
using sql_column_kinds = std::map<std::wstring, std::map<std::wstring, sql_value_kind>>;

// Rewrites the code of a view text (its names already in MySQL's backquotes, no comments) into
// MySQL: function calls, CAST and CONVERT types, "+" between texts (CONCAT) and "/" between
// integers (DIV). Only what it knows to compute the same values in both servers passes: any other
// function, type, operator or T-SQL-only word, and any "+", "-" or "/" whose operands' kinds it
// cannot tell (from literals, casts, functions and `columns`, null: none known), throws a level-0
// tk_exception saying what. Literals and names are never changed.
std::wstring sql_rewrite_view_code(const std::wstring& text, const sql_column_kinds* columns);

// Why the MySQL text `text` would reach an object outside `database` (compared exactly; empty:
// every database qualifier is refused): a name qualified by a database, in any form MySQL reads
// (a.b.c, `a`.b, a . b, a table reference db.t, a call db.f(...)), or an empty string when none.
std::wstring sql_foreign_qualifier_fault(std::wstring_view text, std::wstring_view database);
