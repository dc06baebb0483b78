// Judges a user's query or view text before it goes anywhere: the wizard's query dialog, a
// profile's queries and views, and the source and destination that run them call the same check.
#pragma once

#include <string>
#include <string_view>

// Whether `c` is a blank of Unicode beyond ASCII (no-break, ideographic, line separator, the
// zero-width ones, ...). SQL Server takes none into a name, so each ends a word; the list does
// not follow the locale, as iswspace does.
bool udb_unicode_blank(wchar_t c);

// Why `text` is not one SELECT statement as SQL Server reads it, or an empty string when it is.
// One SELECT is a text that begins with SELECT, WITH or "(" and holds no keyword that begins
// another statement (INSERT, DELETE, DROP, EXEC, SET, RECEIVE, NEXT VALUE FOR, END CONVERSATION,
// USE other than USE HINT or USE PLAN inside OPTION (...), ...), no INTO, no OPENROWSET,
// OPENQUERY or OPENDATASOURCE (each carries a text to another server) and no "{", "}" or "?"
// (an ODBC escape such as {call ...}, or a parameter marker), outside literals, quoted names
// ([..] and "..") and comments (-- to the end of the line, and nested /* */; a "--" comment
// ended by a carriage return without a line feed is refused, as readers differ on where it
// ends); a trailing ";" is allowed. SQL Server needs no ";" between statements, so a keyword is
// enough to refuse the text. Keywords are compared in ASCII letter case, whatever the locale.
std::wstring udb_single_select_fault(std::wstring_view text);

// `text` with every comment, as udb_single_select_fault reads comments, replaced by one blank.
// Literals and quoted names are kept as they are. A text udb_single_select_fault refuses (an
// unclosed comment, a "--" comment ended by a carriage return alone) is returned whole.
std::wstring udb_without_comments(std::wstring_view text);

// What goes to a server for a text that passed the check: the text without its comments. The
// ODBC driver reads comments otherwise than SQL Server (it does not nest them) and rewrites
// what it takes for code; without comments, every reader sees the same literals and names.
// Throws as udb_check_single_select when the check refuses the text.
std::wstring udb_select_to_send(std::wstring_view kind, std::wstring_view name,
                                std::wstring_view text);

// Throws a level-1 tk_exception "<kind> '<name>' is not a single SELECT statement: <why>"
// when udb_single_select_fault finds a fault. `kind` is "Query" or "View".
void udb_check_single_select(std::wstring_view kind, std::wstring_view name,
                             std::wstring_view text);
