// tds_ddl: the statements that shape the test server's model beyond tables (schemas, keys,
// constraints, indexes, sequences, views) and the catalogue probes the MS SQL writer sends,
// answered as SQL Server answers them.
#pragma once

#include "tests/support/tds_server/tds_statements.h"
#include "tests/support/tds_server/tds_tokens.h"

#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Answers a statement that defines objects, or a probe; nothing for other statements.
std::optional<tds_answer> tds_answer_ddl(const tds_statement_context& context,
                                         std::span<const tds_token> tokens, std::string_view text);

// Error 1946 when a row's entry in one of the table's indexes is longer than that index may
// hold (an index over variable-length columns whose creation only drew warning 1945).
std::optional<tds_message> tds_check_index_entries(const tds_fixture_table& table,
                                                   const std::vector<tds_value>& row);

// Whether the row takes part in the index: a filtered index leaves out rows whose filter
// columns are NULL.
bool tds_row_in_index(const tds_fixture_table& table, const tds_fixture_index& index,
                      const std::vector<tds_value>& row);
