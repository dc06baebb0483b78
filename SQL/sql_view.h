// Rewriting of view texts between T-SQL and MySQL, shared by the server database and the script
// file.
#pragma once

#include "SQL/sql_vexp.h"

#include <string>
#include <string_view>

class udb_names_map;

// What a view text is rewritten for: the database it is created in, what is known of that
// database's columns (null: nothing), and whether its server takes a WITH in a view.
struct sql_view_target {
    std::wstring database;
    const sql_column_kinds* columns = nullptr;
    bool takes_ctes = false;
};

// How a view is created, on the server and in the script: it runs with the rights of whoever
// reads it, never with those of the account that migrated it.
inline constexpr const wchar_t* sql_create_view_head = L"CREATE OR REPLACE SQL SECURITY INVOKER VIEW ";

// The text that follows "CREATE VIEW name AS" for a source view text, with its ";": checked to
// be one SELECT as SQL Server reads it, its comments removed (T-SQL and MySQL read them
// differently), rewritten for MySQL (sql_view_converter::refine_view_in, `names` may be null),
// and the result checked again as MySQL reads it, and for names outside `target.database`. A
// text beginning with WITH needs `target.takes_ctes`. Throws a level-0 tk_exception naming the
// fault: the text would otherwise carry other statements, code hidden from the check, other
// values than SQL Server computes, or a reach into another database into the destination.
std::wstring sql_view_text_for_mysql(const std::wstring& text, udb_names_map* names,
                                     const sql_view_target& target);

// Why MySQL would not read `text` as one SELECT, or an empty string when it does: a comment of
// any kind (none is left by the rewriting), an unclosed literal or name, or what the
// single-SELECT check refuses in the code MySQL reads (literals with backslash escapes).
std::wstring sql_mysql_reading_fault(std::wstring_view text);

// Textual rewriting of view SELECT texts; it does not parse SQL. Stateless.
class sql_view_converter {
public:
    // Joins the lines of a view text: every run of carriage returns, line feeds, tabs and blanks
    // outside '...' and "..." literals and [..] names becomes one blank (at the start and end
    // too); names are copied unchanged, literals too but for a backslash, which is doubled
    // since MySQL reads it as an escape. A "--" line comment becomes a /* */ block comment
    // first, so the joined text does not lose everything after it; block comments are copied
    // as they are.
    static std::wstring normalize_spaces(const std::wstring& text);

    // The code of the text carried into MySQL (sql_rewrite_view_code): a function is renamed
    // where it is called, never inside a name, a literal or a longer word; what the rewriting
    // cannot carry with the same values throws a level-0 tk_exception.
    static std::wstring rename_functions(const std::wstring& text,
                                         const sql_column_kinds* columns = nullptr);

    // Square-bracketed names outside literals become backquoted names (a backquote inside is
    // doubled, "]]" is one "]").
    static std::wstring brackets_to_backquotes(const std::wstring& text);

    // The whole rewriting of a source view text for MySQL: joined lines, table and column names
    // mapped through `names` (null: none), brackets to backquotes, the code rewritten
    // (rename_functions, with the destination's `columns` when known), and ";".
    static std::wstring refine_view_in(const std::wstring& text, udb_names_map* names,
                                       const sql_column_kinds* columns = nullptr);

    // Cleans a view text that a MySQL server reports for database `db_name`: removes its first
    // /* */ comment and every `db_name`. qualifier (any letter case).
    static std::wstring refine_view_out(const std::wstring& text, const std::wstring& db_name);
};
