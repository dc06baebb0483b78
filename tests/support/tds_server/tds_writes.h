// tds_writes: the statements that change the test server's model (CREATE TABLE, DROP TABLE,
// INSERT ... VALUES, UPDATE, DELETE, SET IDENTITY_INSERT, SET QUOTED_IDENTIFIER, INSERT BULK)
// and the row checks they share with the bulk-load stream, answered as SQL Server answers.
#pragma once

#include "tests/support/tds_server/tds_statements.h"
#include "tests/support/tds_server/tds_tokens.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

// Answers a statement that writes; nothing for other statements.
std::optional<tds_answer> tds_answer_write(const tds_statement_context& context,
                                           std::span<const tds_token> tokens,
                                           std::string_view text);

// A value as the client gave it, before it is fitted to its column: NULL, a string literal
// (UTF-8; `unicode` for N'...'), a number's text, bytes (0x... or a binary wire value), or
// DEFAULT.
struct tds_literal {
    enum class kind { null, string, number, binary, default_value } type = kind::null;
    std::string text;
    bool unicode = false;
};

// Where a row comes from: the checks and messages of the two paths differ a little (a value too
// long is error 2628 by statement, 4815 by bulk load; a bulk load without KEEP_IDENTITY replaces
// identity values instead of refusing them).
enum class tds_write_path { statement, bulk };

// Adds one row to `table`: `columns` are column positions, `values` their values; the other
// columns take their defaults. Checks as SQL Server does and answers the error of the first
// fault, leaving the table as it was.
std::optional<tds_message> tds_insert_row(const tds_statement_context& context,
                                          tds_fixture_database& database, tds_fixture_table& table,
                                          const std::vector<std::size_t>& columns,
                                          std::vector<tds_literal>& values, tds_write_path path,
                                          bool keep_identity);
// Forgets the unique keys kept for the table (its indexes changed); they are read again when next
// needed.
void tds_forget_keys(tds_fixture_table& table);
// Removes the rows from `count` on (a bulk load's rows after it failed).
void tds_truncate_rows(tds_fixture_table& table, std::uint64_t count);
