// Table names as consumers pass them to IOpenRowset ("[owner].[table]", "owner.table",
// "table", up to "server.database.owner.table"), re-quoted for T-SQL.
#pragma once

#include <string>
#include <string_view>

// Splits `name` into its parts (bracketed with "]]" for "]", double-quoted with """" for """",
// or plain) and writes each part in brackets with "]" doubled, joined by ".". False for a name
// that does not parse: an unclosed quote, text after a closing quote, an empty last part, more
// than four parts.
bool tds_quote_table_name(std::u16string_view name, std::u16string& quoted);
