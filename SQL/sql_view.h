// Rewriting of view texts between T-SQL and MySQL, shared by the server database and the script
// file.
#pragma once

#include <string>
#include <string_view>

class udb_names_map;

// The text that follows "CREATE VIEW name AS" for a source view text, with its ";": checked to
// be one SELECT as SQL Server reads it, its comments removed (T-SQL and MySQL read them
// differently), rewritten for MySQL (sql_view_converter::refine_view_in, `names` may be null),
// and the result checked again as MySQL reads it. A text beginning with WITH needs
// `takes_ctes`. Throws a level-0 tk_exception naming the fault: the text would otherwise carry
// other statements, or code hidden from the check, into the destination.
std::wstring sql_view_text_for_mysql(const std::wstring& text, udb_names_map* names,
                                     bool takes_ctes);

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

    // Whether the call that starts six characters after `pos` (the length of "isnull") has exactly
    // two arguments: one comma, at any depth, before the parenthesis that closes the first one.
    // False for pos -1, a position outside the text, or one whose call would start past its end.
    static bool check_isnull_for_replace(const std::wstring& text, int pos);

    // Renames, outside literals and names, the T-SQL functions that MySQL spells otherwise: isnull
    // (two arguments) becomes ifnull, getdate becomes now, len( becomes char_length(, datediff with
    // a day unit becomes datediff(end, start), datediff with another unit loses its unit argument,
    // dateadd and replicate (two arguments) become date_add and repeat.
    static std::wstring rename_functions(std::wstring text);

    // Square-bracketed names outside literals become backquoted names (a backquote inside is
    // doubled, "]]" is one "]").
    static std::wstring brackets_to_backquotes(const std::wstring& text);

    // The whole rewriting of a source view text for MySQL: joined lines, table and column names
    // mapped through `names` (null: none), brackets to backquotes, renamed functions, and ";".
    static std::wstring refine_view_in(const std::wstring& text, udb_names_map* names);

    // Cleans a view text that a MySQL server reports for database `db_name`: removes its first
    // /* */ comment and every `db_name`. qualifier (any letter case).
    static std::wstring refine_view_out(const std::wstring& text, const std::wstring& db_name);
};
